// Encoding conversions through iconv.
#include <iconv.h>
#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/os/text.h"

namespace picmeta::platform {
namespace {

const iconv_t kNone = reinterpret_cast<iconv_t>(-1);

struct IconvClose {
  void operator()(void* cd) const { ::iconv_close(static_cast<iconv_t>(cd)); }
};

iconv_t Cd(void* handle) { return static_cast<iconv_t>(handle); }

// Converts a run through iconv; a character the run ends inside goes to
// pending.
bool ConvertRun(iconv_t cd, std::string_view piece, std::string& out, std::string& pending) {
  char* in = const_cast<char*>(piece.data());
  std::size_t in_left = piece.size();
  const std::size_t start = out.size();
  out.resize(start + piece.size() * 2 + 64);
  std::size_t done = start;
  while (in_left > 0) {
    char* dst = out.data() + done;
    std::size_t dst_left = out.size() - done;
    const std::size_t r = ::iconv(cd, &in, &in_left, &dst, &dst_left);
    done = out.size() - dst_left;
    if (r != static_cast<std::size_t>(-1)) continue;
    if (errno == E2BIG) {
      out.resize(out.size() + in_left * 4 + 64);
    } else if (errno == EINVAL) {  // a character continues in the next piece
      pending.assign(in, in_left);
      break;
    } else {
      out.resize(start);
      return false;
    }
  }
  out.resize(done);
  return true;
}

}  // namespace

std::optional<std::string> ConvertText(std::string_view bytes, const char* to, const char* from) {
  const iconv_t opened = ::iconv_open(to, from);
  if (opened == kNone) return std::nullopt;
  const std::unique_ptr<void, IconvClose> cd(opened);
  std::string out(bytes.size() * 2 + 16, '\0');
  char* in = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  std::size_t done = 0;
  // A null input flushes any shift state once the text is converted.
  for (bool flush = false;;) {
    char* dst = out.data() + done;
    std::size_t dst_left = out.size() - done;
    const std::size_t r = flush ? ::iconv(opened, nullptr, nullptr, &dst, &dst_left)
                                : ::iconv(opened, &in, &in_left, &dst, &dst_left);
    done = out.size() - dst_left;
    if (r == static_cast<std::size_t>(-1)) {
      if (errno != E2BIG) return std::nullopt;
      out.resize(out.size() * 2);
      continue;
    }
    if (flush) break;
    flush = true;
  }
  out.resize(done);
  return out;
}

// ---- StreamDecoder -------------------------------------------------------------

PlatformCodec::~PlatformCodec() {
  if (handle_) ::iconv_close(Cd(handle_));
}

bool PlatformCodec::OpenCodec(const char* encoding, bool to_utf8) {
  const iconv_t cd = to_utf8 ? ::iconv_open("UTF-8", encoding) : ::iconv_open(encoding, "UTF-32LE");
  if (cd == kNone) return false;
  if (handle_) ::iconv_close(Cd(handle_));
  handle_ = cd;
  return true;
}

bool StreamDecoder::Open(const char* from) {
  if (!OpenCodec(from, true)) return false;
  pending_.clear();
  double_byte_ = false;
  for (const char* name : {"GBK", "GB2312", "CP936", "GB18030", "EUC-CN"})
    if (::strcasecmp(from, name) == 0) double_byte_ = true;
  return true;
}

bool StreamDecoder::Convert(std::string_view piece, std::string& out) {
  if (!double_byte_) return ConvertRun(Cd(handle_), piece, out, pending_);
  // A byte below 0x80 standing alone is ASCII in these encodings; a byte from
  // 0x81 on leads a pair (GB18030's four-byte forms are two such pairs).
  const auto* b = reinterpret_cast<const unsigned char*>(piece.data());
  const std::size_t n = piece.size();
  std::size_t i = 0;
  while (i < n) {
    std::size_t j = i;
    for (std::uint64_t w;
         j + 8 <= n && (std::memcpy(&w, b + j, 8), (w & 0x8080808080808080ull) == 0);)
      j += 8;
    while (j < n && b[j] < 0x80) ++j;
    out.append(piece.data() + i, j - i);
    if (j == n) break;
    i = j;
    while (j < n && b[j] >= 0x80) j += (b[j] == 0x80 || b[j] == 0xFF) ? 1 : 2;
    if (j > n) j -= 2;  // a pair split between this piece and the next
    if (j > i && !ConvertRun(Cd(handle_), piece.substr(i, j - i), out, pending_)) return false;
    // What the converter kept back (a character continuing) and everything
    // after it waits for the next piece.
    if (!pending_.empty() || (j < n && b[j] >= 0x80)) {
      pending_.append(piece.substr(j));
      break;
    }
    i = j;
  }
  return true;
}

// ---- CharEncoder ---------------------------------------------------------------

bool CharEncoder::Open(const char* to) { return OpenCodec(to, false); }

bool CharEncoder::Encode(char32_t cp, std::string& out) {
  if (!handle_) return false;
  char in_bytes[4] = {static_cast<char>(cp & 0xFF), static_cast<char>((cp >> 8) & 0xFF),
                      static_cast<char>((cp >> 16) & 0xFF), static_cast<char>(cp >> 24)};
  char buffer[16];
  char* in = in_bytes;
  std::size_t in_left = sizeof in_bytes;
  char* dst = buffer;
  std::size_t dst_left = sizeof buffer;
  const std::size_t r = ::iconv(Cd(handle_), &in, &in_left, &dst, &dst_left);
  // Back to the initial state, whatever happened: each character stands alone.
  char* flush_dst = dst;
  std::size_t flush_left = dst_left;
  const bool ok = r != static_cast<std::size_t>(-1) && in_left == 0 &&
                  ::iconv(Cd(handle_), nullptr, nullptr, &flush_dst, &flush_left) !=
                      static_cast<std::size_t>(-1);
  if (!ok) {
    ::iconv(Cd(handle_), nullptr, nullptr, nullptr, nullptr);
    return false;
  }
  out.append(buffer, static_cast<std::size_t>(flush_dst - buffer));
  return true;
}

}  // namespace picmeta::platform
