// Encoding conversions through Windows code pages (GBK is code page 936, as
// the host's own XML tools read it); UTF-16 and UTF-32 are converted here.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "platform/os/text.h"
#include "platform/os/utf16.h"

namespace picmeta::platform {
namespace {

enum class Kind { kUtf8, kUtf16, kUtf16Le, kUtf16Be, kUtf32, kUtf32Le, kUtf32Be, kCodePage };

struct Codec {
  Kind kind = Kind::kCodePage;
  UINT page = 0;
  bool double_byte = false;  // lead bytes start two-byte characters
};

// Upper case, without "-", "_" and blanks: "utf_8" and "UTF-8" are one name.
std::string Key(const char* name) {
  std::string key;
  for (const char* p = name; *p; ++p) {
    const char c = *p;
    if (c == '-' || c == '_' || c == ' ') continue;
    key.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
  }
  return key;
}

std::optional<UINT> PageOf(const std::string& key) {
  struct Named {
    const char* key;
    UINT page;
  };
  static const Named kNames[] = {
      {"GBK", 936},         {"GB2312", 936},      {"CP936", 936},      {"EUCCN", 936},
      {"XGBK", 936},        {"MS936", 936},       {"WINDOWS936", 936}, {"GB18030", 54936},
      {"BIG5", 950},        {"CP950", 950},       {"SHIFTJIS", 932},   {"SJIS", 932},
      {"CP932", 932},       {"EUCJP", 20932},     {"EUCKR", 51949},    {"CP949", 949},
      {"USASCII", 20127},   {"ASCII", 20127},     {"ISO88591", 28591}, {"LATIN1", 28591},
      {"ISO885915", 28605}, {"ISO885913", 28603}, {"KOI8R", 20866},    {"KOI8U", 21866},
      {"UTF7", 65000},
  };
  for (const Named& n : kNames)
    if (key == n.key) return n.page;
  auto number_after = [&](std::string_view prefix) -> std::optional<UINT> {
    if (key.size() <= prefix.size() || key.compare(0, prefix.size(), prefix) != 0)
      return std::nullopt;
    UINT value = 0;
    for (std::size_t i = prefix.size(); i < key.size(); ++i) {
      if (key[i] < '0' || key[i] > '9' || value > 100000) return std::nullopt;
      value = value * 10 + static_cast<UINT>(key[i] - '0');
    }
    return value;
  };
  if (auto n = number_after("ISO8859"))
    return *n >= 1 && *n <= 9 ? std::optional<UINT>(28590 + *n) : std::nullopt;
  if (auto n = number_after("WINDOWS")) return n;
  if (auto n = number_after("CP")) return n;
  return std::nullopt;
}

std::optional<Codec> Lookup(const char* name) {
  if (!name) return std::nullopt;
  const std::string key = Key(name);
  if (key == "UTF8") return Codec{Kind::kUtf8};
  if (key == "UTF16" || key == "UCS2") return Codec{Kind::kUtf16};
  if (key == "UTF16LE" || key == "UCS2LE") return Codec{Kind::kUtf16Le};
  if (key == "UTF16BE" || key == "UCS2BE") return Codec{Kind::kUtf16Be};
  if (key == "UTF32" || key == "UCS4") return Codec{Kind::kUtf32};
  if (key == "UTF32LE") return Codec{Kind::kUtf32Le};
  if (key == "UTF32BE") return Codec{Kind::kUtf32Be};
  const auto page = PageOf(key);
  if (!page || *page == 1200 || *page == 1201 || *page == 12000 || *page == 12001)
    return std::nullopt;
  if (*page == CP_UTF8) return Codec{Kind::kUtf8};
  if (!::IsValidCodePage(*page)) return std::nullopt;
  CPINFO info{};
  if (!::GetCPInfo(*page, &info)) return std::nullopt;
  return Codec{Kind::kCodePage, *page, info.MaxCharSize == 2 && *page != 54936};
}

// Code pages whose conversions take no flags at all.
bool TakesNoFlags(UINT page) {
  return page == 65000 || page == 42 || (page >= 50220 && page <= 50229) ||
         (page >= 57002 && page <= 57011);
}

// Code pages that cannot say whether a character had no bytes (GB18030
// carries every character, and also takes no default-character query).
bool EncodesBlindly(UINT page) { return TakesNoFlags(page) || page == 54936; }

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// UTF-16 code units to UTF-8; false for an unpaired surrogate.
bool Utf16ToUtf8(const wchar_t* units, std::size_t n, std::string& out) {
  for (std::size_t i = 0; i < n; ++i) {
    char32_t cp = static_cast<char16_t>(units[i]);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= n) return false;
      const char32_t low = static_cast<char16_t>(units[i + 1]);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return false;
    }
    AppendUtf8(out, cp);
  }
  return true;
}

void AppendUtf16(std::wstring& out, char32_t cp) {
  if (cp >= 0x10000) {
    out.push_back(static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10)));
    out.push_back(static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
  } else {
    out.push_back(static_cast<wchar_t>(cp));
  }
}

// UTF-8 to UTF-16; false for bytes that are not UTF-8.
bool Utf8ToUtf16(std::string_view text, std::wstring& out) {
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t len = DecodeUtf8(text, i, cp);
    if (len == 0) return false;
    AppendUtf16(out, cp);
    i += len;
  }
  return true;
}

}  // namespace

std::wstring Utf16(std::string_view utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t cp = 0;
    const std::size_t len = DecodeUtf8(utf8, i, cp);
    AppendUtf16(out, len ? cp : U'\uFFFD');
    i += len ? len : 1;
  }
  return out;
}

std::string Utf8(std::wstring_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = static_cast<char16_t>(utf16[i]);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() &&
        static_cast<char16_t>(utf16[i + 1]) >= 0xDC00 &&
        static_cast<char16_t>(utf16[i + 1]) <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char16_t>(utf16[++i]) - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = U'\uFFFD';
    }
    AppendUtf8(out, cp);
  }
  return out;
}

namespace {

std::uint32_t Unit(std::string_view in, std::size_t i, std::size_t width, bool big) {
  std::uint32_t v = 0;
  for (std::size_t k = 0; k < width; ++k) {
    const auto b = static_cast<unsigned char>(in[i + (big ? k : width - 1 - k)]);
    v = (v << 8) | b;
  }
  return v;
}

// Decodes whole text of codec to UTF-8. For the byte-order-marked forms,
// `big` holds the byte order found (none: big-endian, as iconv reads them).
bool DecodeAll(const Codec& c, std::string_view in, std::string& out) {
  switch (c.kind) {
    case Kind::kUtf8:
      for (std::size_t i = 0; i < in.size();) {
        char32_t cp = 0;
        const std::size_t len = DecodeUtf8(in, i, cp);
        if (len == 0) return false;
        i += len;
      }
      out.append(in);
      return true;
    case Kind::kCodePage:
      break;
    default: {  // UTF-16 or UTF-32: by its mark, else of its order (big-endian unmarked)
      const std::size_t width =
          c.kind == Kind::kUtf32 || c.kind == Kind::kUtf32Le || c.kind == Kind::kUtf32Be ? 4 : 2;
      bool big = c.kind != Kind::kUtf16Le && c.kind != Kind::kUtf32Le;
      if ((c.kind == Kind::kUtf16 || c.kind == Kind::kUtf32) && in.size() >= width) {
        const std::uint32_t bom = Unit(in, 0, width, true);
        const std::uint32_t reversed = width == 2 ? 0xFFFEu : 0xFFFE0000u;
        if (bom == 0xFEFF || bom == reversed) big = bom == 0xFEFF, in.remove_prefix(width);
      }
      if (in.size() % width) return false;
      if (width == 2) {
        std::wstring units;
        units.reserve(in.size() / 2);
        for (std::size_t i = 0; i < in.size(); i += 2)
          units.push_back(static_cast<wchar_t>(Unit(in, i, 2, big)));
        return Utf16ToUtf8(units.data(), units.size(), out);
      }
      for (std::size_t i = 0; i < in.size(); i += 4) {
        const std::uint32_t cp = Unit(in, i, 4, big);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        AppendUtf8(out, cp);
      }
      return true;
    }
  }
  if (in.empty()) return true;
  if (in.size() > 0x3FFFFFFF) return false;
  const DWORD flags = TakesNoFlags(c.page) ? 0 : MB_ERR_INVALID_CHARS;
  const int n =
      ::MultiByteToWideChar(c.page, flags, in.data(), static_cast<int>(in.size()), nullptr, 0);
  if (n <= 0) return false;
  std::wstring units(static_cast<std::size_t>(n), L'\0');
  if (::MultiByteToWideChar(c.page, flags, in.data(), static_cast<int>(in.size()), units.data(),
                            n) != n)
    return false;
  return Utf16ToUtf8(units.data(), units.size(), out);
}

// Encodes UTF-16 units into codec; false when a character has no form there.
bool EncodeAll(const Codec& c, const std::wstring& units, std::string& out, bool with_bom) {
  auto put = [&out](std::uint32_t v, std::size_t width, bool big) {
    for (std::size_t k = 0; k < width; ++k) {
      const std::size_t shift = 8 * (big ? width - 1 - k : k);
      out.push_back(static_cast<char>((v >> shift) & 0xFF));
    }
  };
  switch (c.kind) {
    case Kind::kUtf8:
      return Utf16ToUtf8(units.data(), units.size(), out);
    case Kind::kCodePage:
      break;
    default: {  // UTF-16 or UTF-32, marked (little-endian then) or of one order
      const bool wide =
          c.kind == Kind::kUtf32 || c.kind == Kind::kUtf32Le || c.kind == Kind::kUtf32Be;
      const bool big = c.kind == Kind::kUtf16Be || c.kind == Kind::kUtf32Be;
      if ((c.kind == Kind::kUtf16 || c.kind == Kind::kUtf32) && with_bom)
        put(0xFEFF, wide ? 4 : 2, false);
      std::string utf8;  // unpaired surrogates have no form in either
      if (!Utf16ToUtf8(units.data(), units.size(), utf8)) return false;
      if (!wide) {
        for (const wchar_t u : units) put(static_cast<char16_t>(u), 2, big);
        return true;
      }
      for (std::size_t i = 0; i < utf8.size();) {
        char32_t cp = 0;
        i += DecodeUtf8(utf8, i, cp);
        put(cp, 4, big);
      }
      return true;
    }
  }
  if (units.empty()) return true;
  if (units.size() > 0x1FFFFFFF) return false;
  const bool plain = EncodesBlindly(c.page);
  BOOL used_default = FALSE;
  const DWORD flags = plain ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL* used = plain ? nullptr : &used_default;
  const int size = static_cast<int>(units.size());
  const int n = ::WideCharToMultiByte(c.page, flags, units.data(), size, nullptr, 0, nullptr, used);
  if (n <= 0 || used_default) return false;
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(n));
  if (::WideCharToMultiByte(c.page, flags, units.data(), size, out.data() + start, n, nullptr,
                            used) != n ||
      used_default) {
    out.resize(start);
    return false;
  }
  // Code pages that take no flags replace what they cannot carry without
  // saying so: a character that does not come back was not encodable.
  if (plain) {
    std::string back;
    if (!DecodeAll(c, std::string_view(out).substr(start), back)) return out.resize(start), false;
    std::string original;
    Utf16ToUtf8(units.data(), units.size(), original);
    if (back != original) return out.resize(start), false;
  }
  return true;
}

// How many leading bytes of `in` form whole characters of codec (the rest
// continues in the next piece).
std::size_t WholeCharacters(const Codec& c, std::string_view in) {
  const auto* b = reinterpret_cast<const unsigned char*>(in.data());
  const std::size_t n = in.size();
  switch (c.kind) {
    case Kind::kUtf8: {
      // Back over an incomplete sequence at the end, at most three bytes.
      std::size_t i = n;
      for (std::size_t k = 0; k < 3 && i > 0 && (b[i - 1] & 0xC0) == 0x80; ++k) --i;
      if (i == 0) return n;
      const unsigned char lead = b[i - 1];
      const std::size_t len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      return (len > 1 && n - (i - 1) < len) ? i - 1 : n;
    }
    case Kind::kUtf16:
    case Kind::kUtf16Le:
    case Kind::kUtf16Be: {
      // (A marked text comes here with its order found.) A high surrogate
      // at the end waits for its pair.
      std::size_t whole = n - n % 2;
      if (whole >= 2) {
        const std::uint32_t last = Unit(in, whole - 2, 2, c.kind == Kind::kUtf16Be);
        if (last >= 0xD800 && last <= 0xDBFF) whole -= 2;
      }
      return whole;
    }
    case Kind::kUtf32:
    case Kind::kUtf32Le:
    case Kind::kUtf32Be:
      return n - n % 4;
    case Kind::kCodePage:
      break;
  }
  if (c.page == 54936) {  // GB18030: one, two or four bytes
    std::size_t i = 0;
    while (i < n) {
      if (b[i] < 0x81 || b[i] == 0xFF) {
        ++i;
        continue;
      }
      if (i + 1 >= n) return i;
      const std::size_t len = (b[i + 1] >= 0x30 && b[i + 1] <= 0x39) ? 4 : 2;
      if (i + len > n) return i;
      i += len;
    }
    return n;
  }
  if (c.double_byte) {
    std::size_t i = 0;
    while (i < n) {
      if (!::IsDBCSLeadByteEx(c.page, b[i])) {
        ++i;
        continue;
      }
      if (i + 1 >= n) return i;
      i += 2;
    }
    return n;
  }
  if (c.page == 65000) {  // UTF-7: cut only outside a shifted run
    std::size_t cut = n;
    for (std::size_t i = n; i > 0; --i) {
      if (b[i - 1] == '+') {
        cut = i - 1;
        // a run closed later in the piece ends at '-' or any non-base64 byte
        for (std::size_t k = i; k < n; ++k) {
          const unsigned char ch = b[k];
          const bool base64 = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                              (ch >= '0' && ch <= '9') || ch == '+' || ch == '/';
          if (!base64) {
            cut = n;
            break;
          }
        }
        return cut;
      }
    }
    return n;
  }
  return n;
}

// The converter's state packs into the handle itself, so that nothing is
// allocated: a set bit 0, then whether a text has started, the double-byte
// flag, the kind and the code page.
void* Pack(const Codec& c, bool started) {
  const std::uintptr_t v = 1u | (started ? 2u : 0u) | (c.double_byte ? 4u : 0u) |
                           (static_cast<std::uintptr_t>(c.kind) << 3) |
                           (static_cast<std::uintptr_t>(c.page) << 7);
  return reinterpret_cast<void*>(v);
}
Codec Unpack(void* handle, bool* started = nullptr) {
  const auto v = reinterpret_cast<std::uintptr_t>(handle);
  if (started) *started = (v & 2u) != 0;
  return Codec{static_cast<Kind>((v >> 3) & 0xF), static_cast<UINT>(v >> 7), (v & 4u) != 0};
}

}  // namespace

std::optional<std::string> ConvertText(std::string_view bytes, const char* to, const char* from) {
  const auto in = Lookup(from);
  const auto out = Lookup(to);
  if (!in || !out) return std::nullopt;
  std::string utf8;
  if (!DecodeAll(*in, bytes, utf8)) return std::nullopt;
  if (out->kind == Kind::kUtf8) return utf8;  // the common case: documents read
  std::wstring units;
  std::string result;
  if (!Utf8ToUtf16(utf8, units) || !EncodeAll(*out, units, result, true)) return std::nullopt;
  return result;
}

// ---- StreamDecoder -------------------------------------------------------------

// The handle packs the code page's description: nothing to release.
PlatformCodec::~PlatformCodec() = default;

bool PlatformCodec::OpenCodec(const char* encoding, bool) {
  const auto codec = Lookup(encoding);
  if (!codec) return false;
  handle_ = Pack(*codec, false);
  return true;
}

bool StreamDecoder::Open(const char* from) {
  if (!OpenCodec(from, true)) return false;
  pending_.clear();
  return true;
}

bool StreamDecoder::Convert(std::string_view piece, std::string& out) {
  bool started = false;
  Codec codec = Unpack(handle_, &started);
  // A marked UTF-16 or UTF-32 text: the mark decides the order once, and the
  // pieces after it are read in that order.
  const bool marked = codec.kind == Kind::kUtf16 || codec.kind == Kind::kUtf32;
  if (marked && !started) {
    const std::size_t width = codec.kind == Kind::kUtf16 ? 2 : 4;
    if (piece.size() < width) {
      pending_.assign(piece);
      return true;
    }
    const std::uint32_t bom = Unit(piece, 0, width, true);
    const bool little = bom == (width == 2 ? 0xFFFEu : 0xFFFE0000u);
    if (little || bom == 0xFEFF) piece.remove_prefix(width);
    codec.kind = width == 2 ? (little ? Kind::kUtf16Le : Kind::kUtf16Be)
                            : (little ? Kind::kUtf32Le : Kind::kUtf32Be);
  }
  handle_ = Pack(codec, true);
  const std::size_t whole = WholeCharacters(codec, piece);
  const std::size_t start = out.size();
  if (!DecodeAll(codec, piece.substr(0, whole), out)) {
    out.resize(start);
    return false;
  }
  pending_.assign(piece.substr(whole));
  return true;
}

// ---- CharEncoder ---------------------------------------------------------------

bool CharEncoder::Open(const char* to) { return OpenCodec(to, false); }

bool CharEncoder::Encode(char32_t cp, std::string& out) {
  if (!handle_ || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  std::wstring units;
  AppendUtf16(units, cp);
  // Each character stands alone: no byte-order mark before it.
  return EncodeAll(Unpack(handle_), units, out, false);
}

}  // namespace picmeta::platform
