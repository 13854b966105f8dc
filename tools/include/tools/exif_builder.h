#ifndef PICMETA_TOOLS_EXIF_BUILDER_H
#define PICMETA_TOOLS_EXIF_BUILDER_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Builds Exif JPEG pictures byte by byte: any directory layout, both byte
// orders, and the broken shapes that files from the field show.
namespace picmeta::tooling {

enum class Order { kIntel, kMotorola };

// Bytes written in a byte order.
class ByteWriter {
 public:
  explicit ByteWriter(Order order) : order_(order) {}
  void U8(std::uint8_t v) { bytes_.push_back(static_cast<char>(v)); }
  void U16(std::uint16_t v);
  void U32(std::uint32_t v);
  void Raw(std::string_view s) { bytes_.append(s); }
  void Zeros(std::size_t n) { bytes_.append(n, '\0'); }
  void Put32At(std::size_t pos, std::uint32_t v);
  std::size_t size() const { return bytes_.size(); }
  const std::string& bytes() const { return bytes_; }
  std::string& bytes() { return bytes_; }

 private:
  Order order_;
  std::string bytes_;
};

struct Entry {
  std::uint16_t tag = 0;
  std::uint16_t type = 0;
  std::uint32_t count = 0;
  // Value bytes in file order; up to 4 go inline (padded), more out of line.
  std::string data;
  // When set, written as the 4-byte value field as is (an offset, say).
  std::optional<std::uint32_t> field;
  // Non-zero: data holds little-endian numbers of this many bytes, written
  // in the layout's order.
  std::uint8_t numeric_unit = 0;
};

// Entry helpers; multi-byte values are encoded in the builder's order later,
// so they take numbers.
Entry Ascii(std::uint16_t tag, std::string_view text);  // NUL appended
Entry Undefined(std::uint16_t tag, std::string_view bytes);
Entry Short(std::uint16_t tag, std::uint16_t value);
Entry Long(std::uint16_t tag, std::uint32_t value);
Entry Rational(std::uint16_t tag, std::uint32_t num, std::uint32_t den);
Entry Bytes(std::uint16_t tag, std::string_view bytes);

struct Ifd {
  std::vector<Entry> entries;
};

// A TIFF block: IFD0, the directories chained after it, and an optional Exif
// IFD (IFD0 gets its 0x8769 pointer). Out-of-line data follows each directory.
struct TiffLayout {
  Order order = Order::kIntel;
  std::vector<Ifd> chain;
  std::optional<Ifd> exif;
};

// Serialises a layout; numeric entry helpers are re-encoded in its order.
std::string BuildTiff(const TiffLayout& layout);

// A TIFF header (IFD0 at offset 8) followed by whatever body writes: for
// directories of any shape, broken ones included.
std::string HandTiff(Order order, const std::function<void(ByteWriter&)>& body);

struct JpegOptions {
  bool app0_before = false;      // a JFIF APP0 segment before APP1
  std::string app0_payload;      // extra bytes inside APP0 (e.g. a stray FF E1)
  std::size_t image_bytes = 64;  // entropy-coded filler after the headers
  std::uint32_t seed = 1;        // for the filler
};

// FF D8, [APP0], APP1 "Exif\0\0" + tiff, DQT/SOF/SOS headers, filler, FF D9.
std::string BuildJpeg(std::string_view tiff, const JpegOptions& options = {});
// The same without APP1 (a JFIF picture with no Exif block).
std::string BuildJfif(const JpegOptions& options = {});

// A picture as a camera writes it: Make, Model, Orientation, resolutions,
// Software, DateTime, an Exif IFD with the two dates, a maker note and an
// interoperability pointer, and IFD1 with a thumbnail.
struct CameraPicture {
  Order order = Order::kIntel;
  std::string make = "Canon";
  std::string model = "Canon EOS 5D";
  std::string software = "Firmware 1.1.1";
  std::string datetime = "2011:08:01 09:05:07";
  std::string original = "2011:08:01 09:05:07";
  std::string digitized = "2011:08:01 09:05:07";
  std::size_t maker_note_bytes = 512;
  std::size_t thumbnail_bytes = 2048;
  std::size_t image_bytes = 32 * 1024;
  std::uint32_t seed = 1;
};
std::string BuildCameraJpeg(const CameraPicture& picture);

bool WriteFile(const std::string& path, std::string_view bytes);
// A path of the library's UTF-8 form for std::filesystem and the streams, on
// every platform (a plain std::string is the ANSI code page on Windows).
std::filesystem::path Utf8Path(std::string_view path);

}  // namespace picmeta::tooling

#endif
