// The one front end of every parse: the document's encoding (found by
// byte-order mark or declaration and decoded by the platform, so that libxml2
// never converts input), the options and the refusals every parse shares.
#include "platform/xml/parser.h"

#include <libxml/parser.h>

#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/os/text.h"

namespace picmeta::platform::detail {

void InitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

void Silent(void*, xmlErrorPtr) {}

// The encoding named by an XML declaration at the start of ASCII-compatible
// text; "" when there is none.
std::string DeclaredEncoding(std::string_view text) {
  // "<?xml-stylesheet ...?>" and the like are processing instructions.
  if (text.substr(0, 5) != "<?xml" || text.size() < 6 ||
      (text[5] != ' ' && text[5] != '\t' && text[5] != '\r' && text[5] != '\n'))
    return {};
  const auto end = text.find("?>");
  const std::string_view decl = text.substr(0, end);
  const auto at = decl.find("encoding");
  if (at == std::string_view::npos) return {};
  std::size_t i = at + 8;
  while (i < decl.size() &&
         (decl[i] == ' ' || decl[i] == '\t' || decl[i] == '\r' || decl[i] == '\n'))
    ++i;
  if (i >= decl.size() || decl[i] != '=') return {};
  ++i;
  while (i < decl.size() &&
         (decl[i] == ' ' || decl[i] == '\t' || decl[i] == '\r' || decl[i] == '\n'))
    ++i;
  if (i >= decl.size() || (decl[i] != '"' && decl[i] != '\'')) return {};
  const auto close = decl.find(decl[i], i + 1);
  if (close == std::string_view::npos) return {};
  return std::string(decl.substr(i + 1, close - i - 1));
}

bool SameName(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return i == a.size() && !b[i];
}

bool IsUtf16Name(const std::string& encoding) {
  return SameName(encoding, "UTF-16") || SameName(encoding, "UTF16");
}

bool IsUtf8Name(const std::string& encoding) {
  return encoding.empty() || SameName(encoding, "UTF-8") || SameName(encoding, "UTF8") ||
         SameName(encoding, "US-ASCII") || SameName(encoding, "ASCII");
}

// True when text can be converted both ways between UTF-8 and encoding, asked
// here so that libxml2 never reports an unusable name on the process's stderr.
bool Convertible(const char* encoding) {
  if (IsUtf8Name(encoding)) return true;
  // Only a name that a declaration can carry: [A-Za-z][A-Za-z0-9._-]*.
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (!letter(encoding[0])) return false;
  for (const char* p = encoding + 1; *p; ++p)
    if (!letter(*p) && !(*p >= '0' && *p <= '9') && *p != '.' && *p != '_' && *p != '-')
      return false;
  CharEncoder out;
  StreamDecoder in;
  return out.Open(encoding) && in.Open(encoding);
}

namespace {
// The "=" in [from, to), eight bytes at a time: a byte equal to "=" becomes
// zero, each zero byte sets the top bit of its place (no carries), and a
// multiplication sums the eight places.
std::size_t CountEquals(const char* from, const char* to) {
  constexpr std::uint64_t kEquals = 0x3D3D3D3D3D3D3D3Dull, kLow7 = 0x7F7F7F7F7F7F7F7Full;
  std::size_t n = 0;
  for (; to - from >= 8; from += 8) {
    std::uint64_t w;
    std::memcpy(&w, from, 8);
    const std::uint64_t x = w ^ kEquals;
    const std::uint64_t marks = ~(((x & kLow7) + kLow7) | x | kLow7) >> 7;  // 1 per "="
    n += static_cast<std::size_t>((marks * 0x0101010101010101ull) >> 56);
  }
  for (; from < to; ++from) n += *from == '=' ? 1 : 0;
  return n;
}
}  // namespace

// A start tag holds no "<" (a value cannot), so the "=" from its "<" to the
// next "<" bound its attributes: they are counted in bulk, and only a tag
// whose bound is over the limit is looked at character by character.
void AttributeGuard::Close(std::string_view bytes) {
  for (const char c : bytes) {
    if (tag_done_) return;
    if (quote_) {
      if (c == quote_) quote_ = 0;
    } else if (c == '"' || c == '\'') {
      quote_ = c;
    } else if (c == '=') {
      if (++count_ > kMaxAttributes) refused_ = true;
    } else if (c == '>') {
      tag_done_ = true;
    }
  }
}

// Comments, CDATA sections and processing instructions (which may hold "<")
// are skipped to their ends.
bool AttributeGuard::Feed(std::string_view piece) {
  const char* p = piece.data();
  const char* const stop = p + piece.size();
  auto skip_to = [&](char c) {
    const void* at = std::memchr(p, c, static_cast<std::size_t>(stop - p));
    p = at ? static_cast<const char*>(at) : stop;
    return at != nullptr;
  };
  const char* tag_start = nullptr;  // where the open tag began, in this piece
  while (p < stop && !refused_) {
    switch (state_) {
      case State::kText:
        if (!skip_to('<')) return true;
        ++p;
        state_ = State::kOpen;
        break;
      case State::kOpen: {
        const char c = *p;
        if (c == '!') {
          ++p;
          state_ = State::kBang;
          bang_.clear();
        } else if (c == '?') {
          ++p;
          state_ = State::kSkip, end_ = "?>", matched_ = 0;
        } else if (c == '/') {
          ++p;
          state_ = State::kSkip, end_ = ">", matched_ = 0;  // an end tag has no attributes
        } else {
          state_ = State::kTag, count_ = 0, tag_.clear();
          tag_start = p;
        }
        break;
      }
      case State::kTag: {
        const char* from = p;
        const bool ends = skip_to('<');
        // Attributes stand apart by white space: one takes five bytes at the
        // least (" a=''"), so a tag this short needs no counting at all.
        constexpr std::ptrdiff_t kShortest = 1 + 5 * (kMaxAttributes + 1);
        if (ends && tag_start && !close_ && p - tag_start < kShortest) {
          tag_start = nullptr;
          ++p;
          state_ = State::kOpen;
          break;
        }
        if (!close_) {
          count_ += static_cast<int>(CountEquals(from, p));
          if (count_ > kMaxAttributes) {
            // Over the bound: from the tag's start, "=" outside quoted values
            // are counted one by one, up to the tag's end.
            close_ = true, count_ = 0, quote_ = 0, tag_done_ = false;
            Close(tag_);
            from = tag_start ? tag_start : from;
          }
        }
        if (close_) Close(std::string_view(from, static_cast<std::size_t>(p - from)));
        if (!ends) {
          // The tag goes on in the next piece: what it has so far is kept.
          if (!close_) tag_.append(tag_start ? tag_start : from, p);
          return !refused_;
        }
        tag_.clear();
        tag_start = nullptr;
        close_ = false;
        ++p;
        state_ = State::kOpen;
        break;
      }
      case State::kBang: {
        const char c = *p++;
        bang_.push_back(c);
        if (bang_ == "--") {
          state_ = State::kSkip, end_ = "-->", matched_ = 0;
        } else if (bang_ == "[CDATA[") {
          state_ = State::kSkip, end_ = "]]>", matched_ = 0;
        } else if (std::string_view("--").substr(0, bang_.size()) != bang_ &&
                   std::string_view("[CDATA[").substr(0, bang_.size()) != bang_) {
          // A declaration (a DOCTYPE, refused by the parse itself).
          state_ = c == '>' ? State::kText : State::kSkip, end_ = ">", matched_ = 0;
        }
        break;
      }
      case State::kSkip: {
        if (matched_ == 0 && !skip_to(end_[0])) return true;
        const char c = *p++;
        if (c == end_[matched_]) {
          if (++matched_ == end_.size()) state_ = State::kText;
        } else if (c == end_[0]) {
          // "--" or "]]" followed by one more: the last two still count.
          matched_ = end_.size() == 3 && matched_ == 2 ? 2 : 1;
        } else {
          matched_ = 0;
        }
        break;
      }
    }
  }
  return !refused_;
}

Encoding DetectEncoding(std::string_view head) {
  auto starts = [&](std::string_view prefix) { return head.substr(0, prefix.size()) == prefix; };
  if (starts("\xEF\xBB\xBF")) return {"", 3};  // the byte-order mark decides
  if (starts(std::string_view("\xFF\xFE\0\0", 4)) || starts(std::string_view("\0\0\xFE\xFF", 4)))
    return {"UTF-32", 0};
  if (starts("\xFF\xFE") || starts("\xFE\xFF")) return {"UTF-16", 0};
  if (starts(std::string_view("<\0?\0", 4))) return {"UTF-16LE", 0};
  if (starts(std::string_view("\0<\0?", 4))) return {"UTF-16BE", 0};
  std::string declared = DeclaredEncoding(head);
  if (IsUtf8Name(declared)) return {"", 0};
  return {std::move(declared), 0};
}

int ParseOptions(bool huge) {
  return XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_IGNORE_ENC |
         (huge ? XML_PARSE_HUGE : 0);
}

void RefuseDoctype(xmlParserCtxt* ctxt, bool& seen) {
  seen = true;
  xmlStopParser(ctxt);
}

}  // namespace picmeta::platform::detail
