// Arbitrary bytes as a picture through the whole per-picture extraction.
#include <cstdint>

#include "capture/public_function.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = picmeta::fuzz::Scratch() + "/IMG_0001.JPG";
  picmeta::fuzz::Put(path, std::string_view(reinterpret_cast<const char*>(data), size));
  picmeta::clsPicinfo record;
  picmeta::Public_Function::ReadPicInfo(path, record);
  if (record.Filename() != "IMG_0001.JPG") __builtin_trap();  // the file exists: always named
  return 0;
}
