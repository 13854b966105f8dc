#ifndef PICMETA_READER_EXIF_READER_H
#define PICMETA_READER_EXIF_READER_H

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/os/path.h"

namespace picmeta::reader {

// Failures of the reader; callers catch them as one family.
class ExifError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// The picture could not be read. `passing`: for a reason that may pass
// (descriptors or memory exhausted, an I/O error, no permission), not for
// what the file is (gone, no regular file, too large).
class FileError : public ExifError {
 public:
  FileError(const std::string& what, bool passing = false, int os_error = 0)
      : ExifError(what), passing_(passing), os_error_(os_error) {}
  bool passing() const { return passing_; }
  int os_error() const { return os_error_; }

 private:
  bool passing_;
  int os_error_;
};
class SubscriptOutOfRange : public ExifError {
 public:
  using ExifError::ExifError;
};
class OverflowError : public ExifError {
 public:
  using ExifError::ExifError;
};
class TypeMismatch : public ExifError {
 public:
  using ExifError::ExifError;
};

// "file error", "subscript out of range", "overflow" or "type mismatch".
const char* FailureKind(const ExifError& failure);

// Empty, a signed 32-bit integer, or a text (UTF-8; each file byte became one
// character, bytes 0x80-0xFF as U+0080-U+00FF; NULs kept).
using TagValue = std::variant<std::monostate, std::int32_t, std::string>;

// "text" when width is larger than its length, padded with the first character
// of fill.
std::string PadLeft(std::string_view text, std::int16_t width, std::string_view fill);
// Upper-case hexadecimal, two digits.
std::string HexPair(std::uint8_t byte);

class FileBytes;

// How a record's value is kept until asked for: decoding is deferred so that
// entries pointing many times at the same large region cost nothing.
struct StoredValue {
  enum class Kind : std::uint8_t { kEmpty, kInt, kHex, kChars4, kText, kDigits, kDigitsReversed };
  Kind kind = Kind::kEmpty;
  std::uint8_t bytes[4] = {0, 0, 0, 0};  // kHex / kChars4, in output order
  std::uint32_t source = 0;              // which Load's bytes
  std::int32_t number = 0;               // kInt
  std::int64_t pos = 0;                  // first byte of an out-of-line value
  std::int64_t count = 0;                // bytes taken from pos
};

struct TagRecord {
  std::int32_t TagId = 0;
  std::int32_t FieldType = 0;
  std::int32_t Count = 0;
  std::int32_t ValueOffset = 0;
  StoredValue Value;
};

class ExifReader {
 public:
  // Of a value longer than this, only its first kMaxValueBytes bytes are read
  // (in the order its text takes them): a text value longer than 64 KiB gives
  // more than 64 KiB of text, which the caller cuts.
  static constexpr std::int64_t kMaxValueBytes = 64 * 1024 + 1;

  ExifReader();
  ~ExifReader();
  ExifReader(const ExifReader&) = delete;
  ExifReader& operator=(const ExifReader&) = delete;

  // Stores the path only: no load, no reset.
  void picFile(std::string path) { picFile_ = std::move(path); }
  // Reads the file named by picFile (taking the argument when picFile is
  // empty), checks the Exif header and walks the directories, appending their
  // records. Throws the failures above, keeping the state reached.
  void Load(const std::string& picFile);
  // Load of a path held as the library holds paths (its names never split).
  void Load(const platform::Path& picture);
  bool Getloaded() const { return loaded_; }
  TagValue Tag(std::int32_t ExifTag);

  // Steps and byte-level reads of Load, public for inspection.
  void ReadFileBytes(const platform::Path& path);
  bool CheckExifHeader();
  bool IsIntelOrder() const;
  std::int32_t Read16(std::int64_t position) const;
  std::int32_t Read32(std::int64_t position) const;
  void ReadIfdChain(std::int64_t ifd0);

  std::int32_t app1Pos() const { return app1Pos_; }
  std::int32_t tiffStart() const { return tiffStart_; }
  std::int32_t exifIfdOffset() const { return exifIfdOffset_; }
  const std::string& picFile() const { return picFile_; }
  // Records, indexed from 1 as the table is.
  std::size_t RecordCount() const { return tags_.size(); }
  const TagRecord& Record(std::size_t index) const { return tags_.at(index - 1); }
  // Bytes read from the files of the Loads whose records are still held.
  std::int64_t BytesRead() const;

 private:
  std::uint8_t At(std::int64_t index) const;
  // IsIntelOrder, read once per header check.
  bool IntelOrder() const;
  void DecodeEntry(std::int64_t e, TagRecord& record);
  TagValue Decode(const StoredValue& value) const;
  std::int32_t PointerValue(const StoredValue& value) const;

  // Every Load's bytes stay while records point into them.
  std::vector<std::unique_ptr<FileBytes>> sources_;
  FileBytes* fileBytes_ = nullptr;
  std::size_t first_record_of_source_ = 0;
  mutable std::optional<bool> intel_;
  std::int32_t app1Pos_ = 0;
  std::int32_t tiffStart_ = 0;
  std::int32_t nextIfdOffset_ = 0;
  std::vector<TagRecord> tags_;
  bool allocated_ = false;
  std::int32_t exifIfdOffset_ = 0;
  std::string picFile_;
  bool loaded_ = false;
};

}  // namespace picmeta::reader

#endif
