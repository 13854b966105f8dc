#include "reader/exif_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "platform/os/fs.h"
#include "platform/os/text.h"

namespace picmeta::reader {
namespace {

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kExifIfdPointer = 0x8769;

// Index and offset sums are formed in 64 bits and must fit the signed 32-bit
// range the file format allows.
std::int32_t Checked32(std::int64_t value) {
  if (value > kInt32Max || value < std::numeric_limits<std::int32_t>::min())
    throw OverflowError("position outside the 32-bit range");
  return static_cast<std::int32_t>(value);
}

void AppendDecimal(std::string& out, unsigned value) { out += std::to_string(value); }

// Text to integer as the pointer conversion does it: decimal digits only
// (leading zeros are fine); blanks, signs or anything else do not convert.
std::int32_t TextToInt(const std::string& text) {
  if (text.empty()) throw TypeMismatch("not a number: empty text");
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') throw TypeMismatch("not a number: " + text);
    value = value * 10 + (c - '0');
    if (value > kInt32Max) throw OverflowError("number too large: " + text);
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace

namespace {
// Whether a failure to open or read a picture may pass: anything but the
// file being gone or being no regular file.
bool Passing(const platform::Status& s) {
  return s.code != platform::FileStatus::kNotFound && s.code != platform::FileStatus::kNotRegular;
}
}  // namespace

// The picture file's bytes, indices 0 to L with the spare zero byte at L, read
// on demand in blocks: a picture whose Exif block is at its front costs a few
// pages however large it is. Reading (not mapping) keeps a file that is
// truncated meanwhile from raising SIGBUS in the host's process.
class FileBytes {
 public:
  // Camera Exif blocks keep their directories within the first few KiB.
  static constexpr std::int64_t kBlock = 16 * 1024;

  // Positions are signed 32-bit numbers: a larger file is refused unread.
  static constexpr std::int64_t kMaxLength = kInt32Max;

  explicit FileBytes(const platform::Path& path) {
    const platform::Status s = file_.Open(path, platform::ReadFile::Access::kScattered);
    if (!s.ok())
      throw FileError("cannot open " + path.Native() + ": " + platform::Describe(s), Passing(s),
                      s.error.value());
    length_ = file_.size();
    if (length_ > kMaxLength) throw FileError("file of 2 GiB or more: " + path.Native());
  }

  std::int64_t L() const { return length_; }
  std::int64_t bytes_read() const { return bytes_read_; }

  std::uint8_t At(std::int64_t index) const {
    if (index < 0 || index > length_) throw SubscriptOutOfRange("index outside the file");
    if (index == length_) return 0;
    return Block(index / kBlock)[index % kBlock];
  }

  // The n bytes at pos when they lie within one block of the file; nullptr
  // otherwise (near a block edge or the end), for the caller's slow path.
  const std::uint8_t* Window(std::int64_t pos, std::int64_t n) const {
    if (pos < 0 || n > length_ - pos) return nullptr;
    const std::int64_t b = pos / kBlock;
    if ((pos + n - 1) / kBlock != b) return nullptr;
    return Block(b) + pos % kBlock;
  }

  // Bytes [pos, pos + n) all lie within 0..L.
  void Copy(std::int64_t pos, std::int64_t n, std::string& out, bool latin1) const {
    while (n > 0) {
      if (pos == length_) {  // the spare zero byte
        out.push_back('\0');
        return;
      }
      const std::uint8_t* block = Block(pos / kBlock);
      const std::int64_t in_block = std::min({n, kBlock - pos % kBlock, length_ - pos});
      const std::uint8_t* p = block + pos % kBlock;
      if (latin1) {
        for (std::int64_t i = 0; i < in_block; ++i) platform::AppendLatin1(out, p[i]);
      } else {
        out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(in_block));
      }
      pos += in_block;
      n -= in_block;
    }
  }

  // The maximal run [start, end) of bytes around p that `is` accepts (empty,
  // at p, when the byte at p is not one). Runs found are kept, so that every
  // byte is looked at once per kind of run, however many values overlap.
  template <class Is>
  std::pair<std::int64_t, std::int64_t> Run(std::int64_t p,
                                            std::map<std::int64_t, std::int64_t>& runs,
                                            Is is) const {
    if (auto it = runs.upper_bound(p); it != runs.begin() && (--it)->second > p) return *it;
    // (index L, the spare zero byte, belongs to the file's bytes)
    if (p < 0 || p > length_ || !is(At(p))) return {p, p};
    std::int64_t start = p, end = p + 1;
    while (start > 0 && is(At(start - 1))) {
      if (auto it = runs.upper_bound(start - 1); it != runs.begin() && (--it)->second > start - 1) {
        start = it->first;
        runs.erase(it);
        break;
      }
      --start;
    }
    while (end <= length_ && is(At(end))) {
      if (auto it = runs.find(end); it != runs.end()) {
        end = it->second;
        runs.erase(it);
        break;
      }
      ++end;
    }
    runs[start] = end;
    return {start, end};
  }
  mutable std::map<std::int64_t, std::int64_t> digit_runs, zero_digit_runs, zero_byte_runs;

  // First i in [from, L - 1] with bytes FF E1 at i and i + 1; -1 for none.
  // Streams through blocks without keeping them: a large picture without an
  // APP1 pair is scanned whole but not held in memory.
  std::int64_t FindApp1(std::int64_t from) const {
    std::vector<std::uint8_t> scratch;
    for (std::int64_t start = from; start < length_;) {
      const std::int64_t b = start / kBlock;
      const std::uint8_t* block;
      if (const auto it = blocks_.find(b); it != blocks_.end()) {
        block = it->second.get();
      } else {
        scratch.resize(static_cast<std::size_t>(kBlock));
        Fill(b, scratch.data());
        block = scratch.data();
      }
      const std::int64_t end = std::min(length_, (b + 1) * kBlock);
      const std::uint8_t* p = block + (start - b * kBlock);
      const std::uint8_t* stop = block + (end - b * kBlock);
      while (p < stop) {
        const auto* hit = static_cast<const std::uint8_t*>(std::memchr(p, 0xFF, stop - p));
        if (!hit) break;
        const std::int64_t i = b * kBlock + (hit - block);
        const std::uint8_t next = hit + 1 < stop ? hit[1] : At(i + 1);
        if (next == 0xE1) return i;
        p = hit + 1;
      }
      start = end;
    }
    return -1;
  }

 private:
  const std::uint8_t* Block(std::int64_t b) const {
    auto& slot = blocks_[b];
    if (!slot) {
      auto data = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(kBlock));
      Fill(b, data.get());
      slot = std::move(data);
    }
    return slot.get();
  }

  void Fill(std::int64_t b, std::uint8_t* out) const {
    const std::int64_t offset = b * kBlock;
    const std::int64_t want = std::min(kBlock, length_ - offset);
    const platform::Status s = file_.ReadAt(offset, out, static_cast<std::size_t>(want));
    if (!s.ok())
      throw FileError("cannot read picture file: " + platform::Describe(s), Passing(s),
                      s.error.value());
    bytes_read_ += want;
  }

  platform::ReadFile file_;
  std::int64_t length_ = 0;
  mutable std::int64_t bytes_read_ = 0;
  // Only the blocks read are held, whatever the file's length.
  mutable std::unordered_map<std::int64_t, std::unique_ptr<std::uint8_t[]>> blocks_;
};

const char* FailureKind(const ExifError& failure) {
  if (dynamic_cast<const FileError*>(&failure)) return "file error";
  if (dynamic_cast<const SubscriptOutOfRange*>(&failure)) return "subscript out of range";
  if (dynamic_cast<const OverflowError*>(&failure)) return "overflow";
  if (dynamic_cast<const TypeMismatch*>(&failure)) return "type mismatch";
  return "failure";
}

std::string PadLeft(std::string_view text, std::int16_t width, std::string_view fill) {
  std::size_t length = 0;
  for (const char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++length;
  // The fill's first character (a lead byte and its continuation bytes).
  std::size_t first_end = fill.empty() ? 0 : 1;
  while (first_end < fill.size() && (static_cast<unsigned char>(fill[first_end]) & 0xC0) == 0x80)
    ++first_end;
  const std::string_view first = fill.substr(0, first_end);
  if (width <= 0 || length >= static_cast<std::size_t>(width) || first.empty())
    return std::string(text);
  std::string out;
  for (std::size_t i = length; i < static_cast<std::size_t>(width); ++i) out += first;
  return out.append(text);
}

std::string HexPair(std::uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  if (byte >= 16) hex.push_back(kDigits[byte >> 4]);
  hex.push_back(kDigits[byte & 0xF]);
  return PadLeft(hex, 2, "0");
}

ExifReader::ExifReader() = default;

std::int64_t ExifReader::BytesRead() const {
  std::int64_t total = 0;
  for (const auto& s : sources_) total += s->bytes_read();
  return total;
}
ExifReader::~ExifReader() = default;

std::uint8_t ExifReader::At(std::int64_t index) const {
  if (!fileBytes_) throw SubscriptOutOfRange("no file read");
  return fileBytes_->At(index);
}

void ExifReader::ReadFileBytes(const platform::Path& path) {
  auto bytes = std::make_unique<FileBytes>(path);  // the earlier bytes stay on failure
  // Earlier bytes are kept only while records point into them.
  if (!sources_.empty() && tags_.size() == first_record_of_source_) sources_.pop_back();
  sources_.push_back(std::move(bytes));
  fileBytes_ = sources_.back().get();
  first_record_of_source_ = tags_.size();
}

bool ExifReader::IntelOrder() const {
  if (!intel_) intel_ = IsIntelOrder();
  return *intel_;
}

bool ExifReader::CheckExifHeader() {
  intel_.reset();  // the order belongs to the bytes and header found now
  // Both bytes are read, as the test does: an empty file fails on index 1.
  const std::uint8_t b0 = At(0);
  const std::uint8_t b1 = At(1);
  if (b0 != 0xFF || b1 != 0xD8) return false;
  const std::int64_t found = fileBytes_->FindApp1(2);
  if (found >= 0) app1Pos_ = Checked32(found);
  tiffStart_ = Checked32(std::int64_t{app1Pos_} + 10);
  char signature[4];
  for (int i = 0; i < 4; ++i) signature[i] = static_cast<char>(At(std::int64_t{app1Pos_} + 4 + i));
  return std::memcmp(signature, "Exif", 4) == 0;
}

bool ExifReader::IsIntelOrder() const { return At(tiffStart_) == 0x49; }

std::int32_t ExifReader::Read16(std::int64_t p) const {
  std::uint8_t b[2];
  if (const std::uint8_t* w = fileBytes_ ? fileBytes_->Window(p, 2) : nullptr) {
    b[0] = w[0], b[1] = w[1];
  } else {
    b[0] = At(p), b[1] = At(p + 1);
  }
  return IntelOrder() ? b[0] + 256 * b[1] : 256 * b[0] + b[1];
}

std::int32_t ExifReader::Read32(std::int64_t p) const {
  std::uint8_t b[4];
  if (const std::uint8_t* w = fileBytes_ ? fileBytes_->Window(p, 4) : nullptr) {
    std::memcpy(b, w, 4);
  } else {
    for (int i = 0; i < 4; ++i) b[i] = At(p + i);
  }
  if (!IntelOrder()) std::reverse(b, b + 4);
  if (b[3] >= 0x80) throw OverflowError("32-bit value of 2^31 or more");
  return static_cast<std::int32_t>(b[0] | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
                                   (std::uint32_t{b[3]} << 24));
}

void ExifReader::Load(const std::string& picFile) {
  if (picFile_.empty()) picFile_ = picFile;
  if (picFile_.empty()) return;
  Load(platform::Path::FromText(picFile_));
}

void ExifReader::Load(const platform::Path& picture) {
  if (picFile_.empty()) picFile_ = picture.Native();
  ReadFileBytes(picture);
  if (!CheckExifHeader()) {
    loaded_ = false;
    return;
  }
  const std::int32_t ifd0 = Read32(std::int64_t{tiffStart_} + 4);
  const std::int32_t start = Checked32(std::int64_t{tiffStart_} + ifd0);
  loaded_ = true;
  ReadIfdChain(start);
}

void ExifReader::DecodeEntry(std::int64_t e, TagRecord& r) {
  using Kind = StoredValue::Kind;
  const bool intel = IntelOrder();
  auto out_of_line = [&](Kind kind) {
    r.ValueOffset = Read32(e + 8);
    const std::int64_t pos = Checked32(std::int64_t{tiffStart_} + r.ValueOffset);
    // The value is taken byte by byte; what lies within the file is kept when
    // it runs past the end.
    const std::int64_t available = std::max<std::int64_t>(0, fileBytes_->L() - pos + 1);
    std::int64_t taken = std::min<std::int64_t>(r.Count, available);
    // A reversed value is taken from its last byte, so nothing of it fits.
    if (kind == Kind::kDigitsReversed && taken < r.Count) taken = 0;
    if (taken > 0) {
      r.Value.kind = kind;
      r.Value.source = static_cast<std::uint32_t>(sources_.size() - 1);
      r.Value.pos = pos;
      r.Value.count = taken;
    }
    if (pos < 0) throw SubscriptOutOfRange("value before the file");
    if (taken < r.Count) throw SubscriptOutOfRange("value past the end of the file");
  };
  auto fits_inline = [&](std::int64_t unit) {
    return Checked32(std::int64_t{r.Count} * unit) <= 4;
  };
  // The four value bytes of an entry, kept as they stand (in file order, or
  // reversed for an Intel file's BYTE values).
  auto inline_bytes = [&](Kind kind, bool reversed) {
    StoredValue v;
    for (int i = 0; i < 4; ++i) v.bytes[i] = At(e + (reversed ? 11 - i : 8 + i));
    v.kind = kind;
    r.Value = v;
  };

  switch (r.FieldType) {
    case 1:
    case 6:  // BYTE, SBYTE
      fits_inline(1) ? inline_bytes(Kind::kHex, intel) : out_of_line(Kind::kDigits);
      break;
    case 2:
    case 7:  // ASCII, UNDEFINED
      fits_inline(1) ? inline_bytes(Kind::kChars4, false) : out_of_line(Kind::kText);
      break;
    case 3:
    case 8:  // SHORT, SSHORT: inline as the sum of both halves
      if (fits_inline(2)) {
        const std::int32_t sum = Read16(e + 8) + Read16(e + 10);
        r.Value.kind = Kind::kInt;
        r.Value.number = sum;
      } else {
        out_of_line(intel ? Kind::kDigits : Kind::kDigitsReversed);
      }
      break;
    case 4:
    case 9:  // LONG, SLONG
      if (fits_inline(4)) {
        const std::int32_t value = Read32(e + 8);
        r.Value.kind = Kind::kInt;
        r.Value.number = value;
      } else {
        out_of_line(Kind::kDigits);
      }
      break;
    case 5:
    case 10:  // RATIONAL, SRATIONAL: never inline, never decoded
      r.ValueOffset = Read32(e + 8);
      break;
    default:
      break;
  }
}

// Walks IFD0, the directories chained after it and then the Exif IFD.
//
// Bound on hostile files: a chain that leads back to a directory already
// walked ends there (as if the next offset were 0; the Exif IFD is still
// walked once), and the walk ends before a directory that would take the
// entries read in all past twice what the file could hold side by side
// (2 L / 12 + 16). Every other walk, over-counted and truncated directories
// included, reads exactly the entries the format gives and fails exactly
// where they leave the file.
void ExifReader::ReadIfdChain(std::int64_t d) {
  const std::int64_t L = fileBytes_->L();
  const std::int64_t limit = 2 * (L / 12) + 16;
  std::int64_t entries = 0;
  bool exif_done = false;
  bool exif_now = false;  // this directory is the Exif IFD
  std::unordered_set<std::int64_t> walked;
  for (;;) {
    const std::int32_t n = Read16(d);
    // Entries that start within the file; the first one beyond fails the walk.
    const std::int64_t reachable =
        d + 2 > L ? 0 : std::min<std::int64_t>(n, (L - (d + 2)) / 12 + 1);
    const bool first_time = walked.insert(d).second;
    const bool walk =
        (first_time || exif_now) && entries + std::max<std::int64_t>(reachable, 1) <= limit;
    if (walk) {
      entries += std::max<std::int64_t>(reachable, 1);
      const std::size_t base = tags_.size();
      tags_.resize(base + static_cast<std::size_t>(n));
      allocated_ = true;
      for (std::int32_t k = 1; k <= n; ++k) {
        const std::int64_t e = Checked32(d + 2 + 12 * std::int64_t{k - 1});
        TagRecord& r = tags_[base + static_cast<std::size_t>(k - 1)];
        r.TagId = Read16(e);
        r.FieldType = Read16(e + 2);
        r.Count = Read32(e + 4);
        DecodeEntry(e, r);
        if (r.TagId == kExifIfdPointer) exifIfdOffset_ = PointerValue(r.Value);
      }
      nextIfdOffset_ = exif_done ? 0 : Read32(Checked32(d + 2 + 12 * std::int64_t{n}));
    } else {
      nextIfdOffset_ = 0;
    }
    exif_now = false;
    if (nextIfdOffset_ == 0 && !exif_done) {
      nextIfdOffset_ = exifIfdOffset_;
      exif_done = true;
      exif_now = true;
    }
    d = Checked32(std::int64_t{tiffStart_} + nextIfdOffset_);
    if (nextIfdOffset_ == 0) return;
  }
}

namespace {
bool IsDigit(std::uint8_t b) { return b >= '0' && b <= '9'; }
bool IsZeroDigit(std::uint8_t b) { return b == '0'; }
bool IsZeroByte(std::uint8_t b) { return b == 0; }

// Decimal digits to an integer, as the pointer conversion does it: the first
// digit past 2^31 - 1 fails with overflow.
void AddDigits(std::int64_t& value, std::string_view digits) {
  for (const char c : digits) {
    value = value * 10 + (c - '0');
    if (value > kInt32Max) throw OverflowError("number too large");
  }
}
}  // namespace

// The value of an Exif IFD pointer: an integer as it is, empty as 0, a text
// as its decimal digits (anything else in it: type mismatch). A long text is
// not decoded: its digits are found through runs of the file's bytes, each
// byte looked at once, so that many entries pointing into one long value cost
// no more than reading it once; only the digits that can matter are read.
std::int32_t ExifReader::PointerValue(const StoredValue& v) const {
  using Kind = StoredValue::Kind;
  if (v.kind == Kind::kEmpty) return 0;
  if (v.kind == Kind::kInt) return v.number;
  if (v.kind == Kind::kHex || v.kind == Kind::kChars4)
    return TextToInt(std::get<std::string>(Decode(v)));
  FileBytes& f = *sources_.at(v.source);
  const std::int64_t end = v.pos + v.count;
  std::int64_t value = 0;
  if (v.kind == Kind::kText) {  // one character per byte
    const std::int64_t text_end = std::min(f.Run(v.pos, f.digit_runs, IsDigit).second, end);
    const std::int64_t first =
        std::min(f.Run(v.pos, f.zero_digit_runs, IsZeroDigit).second, text_end);
    std::string digits;
    f.Copy(first, std::min(text_end - first, std::int64_t{11}), digits, false);
    AddDigits(value, digits);
    if (text_end < end) throw TypeMismatch("not a number");
    return static_cast<std::int32_t>(value);
  }
  // Decimal digits of bytes: zero bytes give leading zeros, and eleven bytes
  // after the first other one give at least eleven digits: an overflow.
  std::int64_t from = v.pos, to = end;  // the bytes that are not leading zeros
  if (v.kind == Kind::kDigits) {
    from = std::min(f.Run(v.pos, f.zero_byte_runs, IsZeroByte).second, end);
    to = std::min(to, from + 11);
  } else {  // read from the last byte down
    if (f.At(end - 1) == 0)
      to = std::max(f.Run(end - 1, f.zero_byte_runs, IsZeroByte).first, v.pos);
    from = std::max(from, to - 11);
  }
  std::string bytes;
  f.Copy(from, to - from, bytes, false);
  if (v.kind == Kind::kDigitsReversed) std::reverse(bytes.begin(), bytes.end());
  for (const char b : bytes) AddDigits(value, std::to_string(static_cast<unsigned char>(b)));
  return static_cast<std::int32_t>(value);
}

TagValue ExifReader::Decode(const StoredValue& v) const {
  using Kind = StoredValue::Kind;
  switch (v.kind) {
    case Kind::kEmpty:
      return std::monostate{};
    case Kind::kInt:
      return v.number;
    case Kind::kHex: {
      std::string text;
      for (const std::uint8_t b : v.bytes) text += HexPair(b);
      return text;
    }
    case Kind::kChars4: {
      std::string text;
      for (const std::uint8_t b : v.bytes) platform::AppendLatin1(text, b);
      return text;
    }
    case Kind::kText: {
      // No more than kMaxValueBytes of any value is read.
      const std::int64_t n = std::min(v.count, kMaxValueBytes);
      std::string text;
      text.reserve(static_cast<std::size_t>(n));
      sources_.at(v.source)->Copy(v.pos, n, text, true);
      return text;
    }
    case Kind::kDigits:
    case Kind::kDigitsReversed: {
      // The first kMaxValueBytes bytes in the order the text takes them.
      const std::int64_t n = std::min(v.count, kMaxValueBytes);
      const std::int64_t from = v.kind == Kind::kDigits ? v.pos : v.pos + v.count - n;
      std::string bytes;
      sources_.at(v.source)->Copy(from, n, bytes, false);
      if (v.kind == Kind::kDigitsReversed) std::reverse(bytes.begin(), bytes.end());
      std::string text;
      text.reserve(bytes.size() * 3);
      for (const char c : bytes) AppendDecimal(text, static_cast<unsigned char>(c));
      return text;
    }
  }
  return std::monostate{};
}

TagValue ExifReader::Tag(std::int32_t ExifTag) {
  if (!loaded_) {
    if (picFile_.empty()) return std::monostate{};
    Load(picFile_);
  }
  if (ExifTag == 0) {
    if (!allocated_) return std::monostate{};
    return static_cast<std::int32_t>(tags_.size());
  }
  if (!allocated_) throw SubscriptOutOfRange("no tag table");
  for (const TagRecord& r : tags_)
    if (r.TagId == ExifTag) return Decode(r.Value);
  return std::monostate{};
}

}  // namespace picmeta::reader
