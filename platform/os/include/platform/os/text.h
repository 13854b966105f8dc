#ifndef PICMETA_PLATFORM_TEXT_H
#define PICMETA_PLATFORM_TEXT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace picmeta::platform {

// Appends the UTF-8 form of a code point below U+0100 (one byte of a Latin-1 text).
void AppendLatin1(std::string& out, unsigned char byte);

// Converts text between encodings (iconv names); nullopt for an unknown
// encoding or bytes that are not text in `from` or not representable in `to`.
std::optional<std::string> ConvertText(std::string_view bytes, const char* to, const char* from);

// A converter of the platform's (an iconv descriptor, a code page's
// description), for one encoding and one direction; released with the object.
class PlatformCodec {
 public:
  PlatformCodec(const PlatformCodec&) = delete;
  PlatformCodec& operator=(const PlatformCodec&) = delete;

 protected:
  PlatformCodec() = default;
  ~PlatformCodec();
  // From `encoding` to UTF-8 (to_utf8), or from UTF-32LE to `encoding`; false
  // for an encoding the platform does not know, the converter then as it was.
  bool OpenCodec(const char* encoding, bool to_utf8);
  void* handle_ = nullptr;
};

// Decodes text of an encoding into UTF-8 piece by piece, so that a large
// file never stands in memory whole: a character split between two pieces
// is completed by the next.
class StreamDecoder : private PlatformCodec {
 public:
  StreamDecoder() = default;
  // False for an encoding the platform does not know.
  bool Open(const char* from);
  // Appends the UTF-8 of `in` to out; false for bytes that are not text in
  // the encoding.
  bool Decode(std::string_view in, std::string& out);
  // False when the text ended inside a character.
  bool Finish() const { return pending_.empty(); }

 private:
  // The platform's part: converts a piece with what was pending before it;
  // a character the piece ends inside waits in pending_.
  bool Convert(std::string_view in, std::string& out);
  std::string pending_;
  // A double-byte code page (GBK and its kin) on POSIX: runs of ASCII are
  // copied as they stand and only the rest goes through iconv.
  bool double_byte_ = false;
};

// The platform's converter of single characters into an encoding.
class CharEncoder : private PlatformCodec {
 public:
  CharEncoder() = default;
  // False for an encoding the platform cannot write.
  bool Open(const char* to);
  // Appends the bytes of code point cp; false (out unchanged) when the
  // encoding has no such character.
  bool Encode(char32_t cp, std::string& out);
};

// The bytes of each character in one encoding, asked of the platform once per
// character and kept for the process: converting character by character
// through the platform costs microseconds each, most of all for characters
// it refuses. Shared by threads.
class EncoderCache {
 public:
  explicit EncoderCache(const std::string& encoding);
  ~EncoderCache();
  EncoderCache(const EncoderCache&) = delete;
  EncoderCache& operator=(const EncoderCache&) = delete;
  bool ok() const { return ok_; }
  // Appends the bytes of cp; false (out unchanged) when the encoding has no
  // such character.
  bool Append(char32_t cp, std::string& out);

 private:
  std::uint32_t Ask(char32_t cp);
  struct Table;
  std::unique_ptr<Table> table_;
  bool ok_;
};

// The cache of an encoding, made once for the life of the process; nullptr
// when the platform cannot write that encoding.
EncoderCache* CachedEncoder(const std::string& encoding);

// The code point of the valid UTF-8 sequence at text[i] and its length, or 0
// when none starts there.
std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t& cp);

}  // namespace picmeta::platform

#endif
