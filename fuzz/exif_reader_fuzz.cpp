// Arbitrary bytes as a picture file: Load and every lookup ReadPicInfo makes.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "reader/exif_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = picmeta::fuzz::Scratch() + "/picture.jpg";
  picmeta::fuzz::Put(path, std::string_view(reinterpret_cast<const char*>(data), size));
  picmeta::reader::ExifReader reader;
  try {
    reader.Load(path);
  } catch (const picmeta::reader::ExifError&) {
  }
  static constexpr std::int32_t kTags[] = {0,      0x0107, 0x0108, 0x0109, 0x010A, 0x010F, 0x0110,
                                           0x9003, 0x9004, 0x0132, 0x0131, 0x8769, 0xA005, 0x0201};
  for (const std::int32_t tag : kTags) {
    try {
      (void)reader.Tag(tag);
    } catch (const picmeta::reader::ExifError&) {
    }
  }
  try {
  } catch (const picmeta::reader::ExifError&) {
  }
  return 0;
}
