#include "platform/xml/escape.h"

#include <array>
#include <cstdint>

#include "platform/os/text.h"
#include "platform/xml/parser.h"

namespace picmeta::platform::detail {
namespace {

enum : std::uint8_t { kCopy, kEscape, kWide };

void AppendCharRef(std::string& out, char32_t cp) {
  char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + cp % 10);
    cp /= 10;
  } while (cp != 0);
  out += "&#";
  while (n > 0) out.push_back(digits[--n]);
  out.push_back(';');
}

// Private-use characters have no agreed bytes (code page 936 puts them in
// GBK's user-defined areas, iconv refuses them): written as references
// everywhere, so that every build writes the same file.
bool PrivateUse(char32_t cp) { return cp >= 0xE000 && cp <= 0xF8FF; }

bool DecodeAll(std::string_view text) {
  char32_t cp = 0;
  for (std::size_t i = 0, len; i < text.size(); i += len)
    if ((len = DecodeUtf8(text, i, cp)) == 0) return false;
  return true;
}

// What each byte needs, for each kind of text: as libxml2 escapes
// attribute values (& < > " CR LF TAB) and text (& < > CR).
const std::uint8_t* Kinds(Escape escape) {
  static const auto tables = [] {
    std::array<std::array<std::uint8_t, 256>, 3> t{};
    for (auto& table : t)
      for (int c = 0x80; c < 0x100; ++c) table[c] = kWide;
    for (const unsigned char c : {'&', '<', '>', '"', '\n', '\r', '\t'}) t[0][c] = kEscape;
    for (const unsigned char c : {'&', '<', '>', '\r'}) t[1][c] = kEscape;
    return t;
  }();
  return tables[static_cast<std::size_t>(escape)].data();
}

const char* Replacement(unsigned char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '\r':
      return "&#13;";
    case '"':
      return "&quot;";
    case '\n':
      return "&#10;";
    default:
      return "&#9;";
  }
}

}  // namespace

void XmlEncoder::Open(const std::string& encoding) {
  table_ = IsUtf8Name(encoding) ? nullptr : CachedEncoder(encoding);
}

void XmlEncoder::Append(std::string& out, std::string_view text, Escape escape) const {
  const std::uint8_t* kinds = Kinds(escape);
  const auto* b = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t run = 0;  // start of the bytes copied as they stand
  std::size_t i = 0;
  for (;;) {
    while (i < n && kinds[b[i]] == kCopy) ++i;
    if (i == n) break;
    if (kinds[b[i]] == kEscape) {
      out.append(text.data() + run, i - run);
      out += Replacement(b[i]);
      run = ++i;
      continue;
    }
    char32_t cp = 0;
    const std::size_t len = DecodeUtf8(text, i, cp);
    if (len == 0) {  // not UTF-8: dropped, as it could not be read back
      out.append(text.data() + run, i - run);
      run = ++i;
      continue;
    }
    if (!table_) {  // UTF-8 out: copied as it stands
      i += len;
      continue;
    }
    out.append(text.data() + run, i - run);
    if (PrivateUse(cp) || !table_->Append(cp, out)) AppendCharRef(out, cp);
    run = i += len;
  }
  out.append(text.data() + run, n - run);
}

bool XmlEncoder::AppendWideName(std::string& out, std::string_view name) const {
  if (!table_) {
    out.append(name);
    return DecodeAll(name);
  }
  for (std::size_t i = 0; i < name.size();) {
    char32_t cp = 0;
    const std::size_t len = DecodeUtf8(name, i, cp);
    if (len == 0) return false;
    if (cp < 0x80) {
      out.append(name.substr(i, len));
    } else if (PrivateUse(cp) || !table_->Append(cp, out)) {
      return false;
    }
    i += len;
  }
  return true;
}

}  // namespace picmeta::platform::detail
