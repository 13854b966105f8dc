#ifndef PICMETA_PLATFORM_TEXT_H
#define PICMETA_PLATFORM_TEXT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace picmeta::platform {

// Characters `start` (from 1) to start + count - 1 of a UTF-8 text, counted in
// code points; positions past the end give a shorter or empty result.
std::string Mid(std::string_view text, std::size_t start, std::size_t count);

// Removes blanks (U+0020 only) at both ends.
std::string TrimBlanks(std::string_view text);

// Every "/" becomes "\".
std::string BackslashPath(std::string_view path);

// Appends the UTF-8 form of a code point below U+0100 (one byte of a Latin-1 text).
void AppendLatin1(std::string& out, unsigned char byte);

// Converts text between encodings (iconv names); nullopt for an unknown
// encoding or bytes that are not text in `from` or not representable in `to`.
std::optional<std::string> ConvertText(std::string_view bytes, const char* to, const char* from);

// Decodes text of an encoding into UTF-8 piece by piece, so that a large
// file never stands in memory whole: a character split between two pieces
// is completed by the next.
class StreamDecoder {
 public:
  StreamDecoder();
  ~StreamDecoder();
  StreamDecoder(const StreamDecoder&) = delete;
  StreamDecoder& operator=(const StreamDecoder&) = delete;
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
  void* handle_ = nullptr;
  std::string pending_;
  // A double-byte code page (GBK and its kin) on POSIX: runs of ASCII are
  // copied as they stand and only the rest goes through iconv.
  bool double_byte_ = false;
};

// The platform's converter of single characters into an encoding.
class CharEncoder {
 public:
  CharEncoder();
  ~CharEncoder();
  CharEncoder(const CharEncoder&) = delete;
  CharEncoder& operator=(const CharEncoder&) = delete;
  // False for an encoding the platform cannot write.
  bool Open(const char* to);
  // Appends the bytes of code point cp; false (out unchanged) when the
  // encoding has no such character.
  bool Encode(char32_t cp, std::string& out);

 private:
  void* handle_ = nullptr;
};

// The code point of the valid UTF-8 sequence at text[i] and its length, or 0
// when none starts there.
std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t& cp);

// Drops what an XML 1.0 document cannot carry: bytes that are not valid UTF-8,
// U+0000-U+0008, U+000B, U+000C, U+000E-U+001F, U+FFFE, U+FFFF. Everything
// else, surrogate-free, stays.
std::string XmlSafe(std::string_view text);

// 64-bit FNV-1a over bytes added piece by piece: tells one content from
// another (not for security).
class Fnv1a {
 public:
  void Add(std::string_view bytes) {
    for (const char c : bytes) {
      h_ ^= static_cast<unsigned char>(c);
      h_ *= 0x100000001b3ull;
    }
  }
  std::uint64_t value() const { return h_; }

 private:
  std::uint64_t h_ = 0xcbf29ce484222325ull;
};

// A 64-bit hash of a content added piece by piece, eight bytes at a time:
// tells one version of a file from another (not for security). The value
// depends on the bytes only, not on how they were cut into pieces.
class ContentHasher {
 public:
  void Add(std::string_view bytes);
  std::uint64_t value() const;

 private:
  void Word(std::uint64_t w);
  std::uint64_t h_ = 0x9E3779B97F4A7C15ull;
  std::uint64_t length_ = 0;
  unsigned char tail_[8] = {};
  std::size_t held_ = 0;
};

}  // namespace picmeta::platform

#endif
