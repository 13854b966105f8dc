#include "tools/exif_builder.h"

#include <filesystem>
#include <fstream>

namespace picmeta::tooling {
namespace {

std::string Le(std::uint64_t v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

std::string Encode(const Entry& e, Order order) {
  if (e.numeric_unit == 0) return e.data;
  const std::size_t unit = e.numeric_unit;
  std::string out;
  for (std::size_t i = 0; i + unit <= e.data.size(); i += unit) {
    std::string u = e.data.substr(i, unit);
    if (order == Order::kMotorola) std::string(u.rbegin(), u.rend()).swap(u);
    out += u;
  }
  return out;
}

Entry Numeric(std::uint16_t tag, std::uint16_t type, int unit, std::vector<std::uint64_t> values,
              std::uint32_t count) {
  Entry e{tag, type, count, {}, std::nullopt, static_cast<std::uint8_t>(unit)};
  for (const auto v : values) e.data += Le(v, unit);
  return e;
}

std::size_t DirectorySize(const Ifd& ifd, Order order) {
  std::size_t size = 2 + 12 * ifd.entries.size() + 4;
  for (const auto& e : ifd.entries) {
    const auto data = Encode(e, order);
    if (!e.field && data.size() > 4) size += data.size() + (data.size() & 1);
  }
  return size;
}

// Writes a directory at w.size() (offset from the TIFF start) with its data after it.
void WriteDirectory(ByteWriter& w, const Ifd& ifd, Order order, std::uint32_t next) {
  const std::size_t start = w.size();
  std::size_t data_at = start + 2 + 12 * ifd.entries.size() + 4;
  std::string data_area;
  w.U16(static_cast<std::uint16_t>(ifd.entries.size()));
  for (const auto& e : ifd.entries) {
    w.U16(e.tag);
    w.U16(e.type);
    w.U32(e.count);
    const std::string data = Encode(e, order);
    if (e.field) {
      w.U32(*e.field);
    } else if (data.size() <= 4) {
      w.Raw(data);
      w.Zeros(4 - data.size());
    } else {
      w.U32(static_cast<std::uint32_t>(data_at + data_area.size()));
      data_area += data;
      if (data.size() & 1) data_area.push_back('\0');
    }
  }
  w.U32(next);
  w.Raw(data_area);
}

std::string Filler(std::size_t n, std::uint32_t seed) {
  std::string out;
  out.reserve(n);
  std::uint32_t x = seed * 2654435761u + 12345;
  while (out.size() < n) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    const char c = static_cast<char>(x & 0xFF);
    out.push_back(c);
    if (c == '\xFF') out.push_back('\0');  // byte stuffing, as in entropy-coded data
  }
  out.resize(n);
  if (!out.empty() && out.back() == '\xFF') out.back() = '\0';
  return out;
}

std::string Segment(std::uint8_t marker, std::string_view payload) {
  std::string s{'\xFF', static_cast<char>(marker)};
  const std::size_t len = payload.size() + 2;
  s.push_back(static_cast<char>((len >> 8) & 0xFF));
  s.push_back(static_cast<char>(len & 0xFF));
  s.append(payload);
  return s;
}

std::string FrameHeaders() {
  std::string dqt(65, '\x10');
  dqt[0] = 0;
  const std::string sof = {8, 0, 16, 0, 16, 1, 1, 0x11, 0};
  const std::string dht = {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const std::string sos = {1, 1, 0, 0, 63, 0};
  return Segment(0xDB, dqt) + Segment(0xC0, sof) + Segment(0xC4, dht) + Segment(0xDA, sos);
}

std::string App0(const JpegOptions& o) {
  std::string jfif = std::string("JFIF\0", 5) + std::string{1, 1, 0, 0, 1, 0, 1, 0, 0};
  return Segment(0xE0, jfif + o.app0_payload);
}

}  // namespace

void ByteWriter::U16(std::uint16_t v) {
  if (order_ == Order::kIntel) {
    U8(v & 0xFF), U8(v >> 8);
  } else {
    U8(v >> 8), U8(v & 0xFF);
  }
}

void ByteWriter::U32(std::uint32_t v) {
  if (order_ == Order::kIntel) {
    for (int i = 0; i < 4; ++i) U8((v >> (8 * i)) & 0xFF);
  } else {
    for (int i = 3; i >= 0; --i) U8((v >> (8 * i)) & 0xFF);
  }
}

void ByteWriter::Put32At(std::size_t pos, std::uint32_t v) {
  ByteWriter w(order_);
  w.U32(v);
  bytes_.replace(pos, 4, w.bytes());
}

Entry Ascii(std::uint16_t tag, std::string_view text) {
  std::string data(text);
  data.push_back('\0');
  return Entry{tag, 2, static_cast<std::uint32_t>(data.size()), data, std::nullopt};
}

Entry Undefined(std::uint16_t tag, std::string_view bytes) {
  return Entry{tag, 7, static_cast<std::uint32_t>(bytes.size()), std::string(bytes), std::nullopt};
}

Entry Short(std::uint16_t tag, std::uint16_t value) { return Numeric(tag, 3, 2, {value}, 1); }
Entry Long(std::uint16_t tag, std::uint32_t value) { return Numeric(tag, 4, 4, {value}, 1); }
Entry Rational(std::uint16_t tag, std::uint32_t num, std::uint32_t den) {
  return Numeric(tag, 5, 4, {num, den}, 1);
}
Entry Bytes(std::uint16_t tag, std::string_view bytes) {
  return Entry{tag, 1, static_cast<std::uint32_t>(bytes.size()), std::string(bytes), std::nullopt};
}

std::string BuildTiff(const TiffLayout& layout) {
  std::vector<Ifd> chain = layout.chain;
  if (chain.empty()) chain.emplace_back();
  ByteWriter w(layout.order);
  w.Raw(layout.order == Order::kIntel ? "II" : "MM");
  w.U16(42);
  w.U32(8);
  // Directory offsets, in the order they are laid out.
  std::vector<std::size_t> offsets;
  std::size_t at = 8;
  if (layout.exif) {
    bool has_pointer = false;
    for (auto& e : chain[0].entries) has_pointer |= e.tag == 0x8769;
    if (!has_pointer) chain[0].entries.push_back(Long(0x8769, 0));
  }
  for (const auto& ifd : chain) {
    offsets.push_back(at);
    at += DirectorySize(ifd, layout.order);
  }
  if (layout.exif) {
    for (auto& e : chain[0].entries)
      if (e.tag == 0x8769 && !e.field) e.field = static_cast<std::uint32_t>(at);
  }
  for (std::size_t i = 0; i < chain.size(); ++i) {
    const std::uint32_t next =
        i + 1 < chain.size() ? static_cast<std::uint32_t>(offsets[i + 1]) : 0;
    WriteDirectory(w, chain[i], layout.order, next);
  }
  if (layout.exif) WriteDirectory(w, *layout.exif, layout.order, 0);
  return w.bytes();
}

std::string HandTiff(Order order, const std::function<void(ByteWriter&)>& body) {
  ByteWriter w(order);
  w.Raw(order == Order::kIntel ? "II" : "MM");
  w.U16(42);
  w.U32(8);
  body(w);
  return w.bytes();
}

std::string BuildJpeg(std::string_view tiff, const JpegOptions& options) {
  std::string out = "\xFF\xD8";
  if (options.app0_before) out += App0(options);
  out += Segment(0xE1, std::string("Exif\0\0", 6) + std::string(tiff));
  out += FrameHeaders();
  out += Filler(options.image_bytes, options.seed);
  out += "\xFF\xD9";
  return out;
}

std::string BuildJfif(const JpegOptions& options) {
  std::string out = "\xFF\xD8" + App0(options) + FrameHeaders();
  out += Filler(options.image_bytes, options.seed);
  out += "\xFF\xD9";
  return out;
}

std::string BuildCameraJpeg(const CameraPicture& p) {
  TiffLayout t;
  t.order = p.order;
  Ifd ifd0;
  ifd0.entries = {Ascii(0x010F, p.make),     Ascii(0x0110, p.model),    Short(0x0112, 1),
                  Rational(0x011A, 72, 1),   Rational(0x011B, 72, 1),   Short(0x0128, 2),
                  Ascii(0x0131, p.software), Ascii(0x0132, p.datetime), Short(0x0213, 1)};
  Ifd exif;
  exif.entries = {Rational(0x829A, 1, 125),
                  Rational(0x829D, 28, 10),
                  Short(0x8827, 200),
                  Undefined(0x9000, "0230"),
                  Ascii(0x9003, p.original),
                  Ascii(0x9004, p.digitized),
                  Undefined(0x927C, Filler(p.maker_note_bytes, p.seed + 7)),
                  Undefined(0xA000, "0100"),
                  Short(0xA001, 1),
                  Long(0xA002, 4000),
                  Long(0xA003, 3000),
                  Long(0xA005, 0)};
  // The interoperability directory is not walked; its pointer is a plain value.
  exif.entries.back() = Long(0xA005, 0x0400);
  Ifd ifd1;
  ifd1.entries = {
      Short(0x0103, 6),        Rational(0x011A, 72, 1),
      Rational(0x011B, 72, 1), Short(0x0128, 2),
      Long(0x0201, 0),         Long(0x0202, static_cast<std::uint32_t>(p.thumbnail_bytes))};
  t.chain = {ifd0, ifd1};
  t.exif = exif;
  std::string tiff = BuildTiff(t);
  // The thumbnail goes after the directories; point 0x0201 at it.
  const std::uint32_t thumb_at = static_cast<std::uint32_t>(tiff.size());
  t.chain[1].entries[4] = Long(0x0201, thumb_at);
  tiff = BuildTiff(t);
  tiff += "\xFF\xD8" + Filler(p.thumbnail_bytes > 4 ? p.thumbnail_bytes - 4 : 0, p.seed + 3) +
          "\xFF\xD9";
  JpegOptions o;
  o.image_bytes = p.image_bytes;
  o.seed = p.seed;
  return BuildJpeg(tiff, o);
}

std::filesystem::path Utf8Path(std::string_view path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

bool WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(Utf8Path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace picmeta::tooling
