#ifndef PICMETA_PLATFORM_XML_ESCAPE_H
#define PICMETA_PLATFORM_XML_ESCAPE_H

#include <string>
#include <string_view>

namespace picmeta::platform {
class EncoderCache;
}

// UTF-8 text into an encoding, escaped as libxml2's save escapes it.
namespace picmeta::platform::detail {

enum class Escape { kAttribute, kContent, kRaw };

class XmlEncoder {
 public:
  void Open(const std::string& encoding);
  // Appends text, escaped; a character the encoding lacks becomes a character
  // reference, bytes that are not UTF-8 are dropped.
  void Append(std::string& out, std::string_view text, Escape escape) const;
  // False when a character of the name has no bytes in the encoding (a name
  // cannot hold a character reference).
  bool AppendName(std::string& out, std::string_view name) const {
    // Names are nearly always ASCII, copied as they stand (inline: a record
    // writes some twenty of them).
    for (const char c : name)
      if (static_cast<unsigned char>(c) >= 0x80) return AppendWideName(out, name);
    out.append(name);
    return true;
  }

 private:
  bool AppendWideName(std::string& out, std::string_view name) const;

  EncoderCache* table_ = nullptr;  // null: UTF-8 out
};

}  // namespace picmeta::platform::detail

#endif
