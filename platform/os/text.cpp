#include "platform/os/text.h"

#include <array>
#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace picmeta::platform {

std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  std::size_t len;
  char32_t min;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (len > text.size() - i) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

bool StreamDecoder::Decode(std::string_view piece, std::string& out) {
  if (!handle_) return false;
  std::string joined;
  if (!pending_.empty()) {
    joined = std::move(pending_);
    joined.append(piece);
    piece = joined;
    pending_.clear();
  }
  return Convert(piece, out);
}

void AppendLatin1(std::string& out, unsigned char byte) {
  if (byte < 0x80) {
    out.push_back(static_cast<char>(byte));
  } else {
    out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
    out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
  }
}

// ---- EncoderCache -------------------------------------------------------------

namespace {
constexpr std::uint32_t kUnknown = 0;
constexpr std::uint32_t kNone = 0xFF000000u;
constexpr std::uint32_t kLong = 0xFE000000u;  // more than 3 bytes: asked each time
}  // namespace

// Each character of the Basic Multilingual Plane once asked: its bytes (up to
// three) and their count packed in one word, or that it has none.
struct EncoderCache::Table {
  std::mutex mutex;
  CharEncoder encoder;
  std::array<std::atomic<std::uint32_t>, 0x10000> bmp{};
};

EncoderCache::EncoderCache(const std::string& encoding)
    : table_(std::make_unique<Table>()), ok_(table_->encoder.Open(encoding.c_str())) {}
EncoderCache::~EncoderCache() = default;

bool EncoderCache::Append(char32_t cp, std::string& out) {
  if (cp < table_->bmp.size()) {
    std::uint32_t e = table_->bmp[cp].load(std::memory_order_relaxed);
    if (e == kUnknown) {
      e = Ask(cp);
      table_->bmp[cp].store(e, std::memory_order_relaxed);
    }
    if (e == kNone) return false;
    if (e != kLong) {
      const std::size_t n = e >> 24;
      for (std::size_t k = 0; k < n; ++k)
        out.push_back(static_cast<char>((e >> (8 * (n - 1 - k))) & 0xFF));
      return true;
    }
  }
  std::lock_guard lock(table_->mutex);
  return table_->encoder.Encode(cp, out);
}

std::uint32_t EncoderCache::Ask(char32_t cp) {
  std::string bytes;
  std::lock_guard lock(table_->mutex);
  if (!table_->encoder.Encode(cp, bytes) || bytes.empty()) return kNone;
  if (bytes.size() > 3) return kLong;
  std::uint32_t e = static_cast<std::uint32_t>(bytes.size()) << 24;
  for (std::size_t k = 0; k < bytes.size(); ++k)
    e |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k]))
         << (8 * (bytes.size() - 1 - k));
  return e;
}

EncoderCache* CachedEncoder(const std::string& encoding) {
  static std::mutex mutex;
  static std::unordered_map<std::string, std::unique_ptr<EncoderCache>> caches;
  std::string key;
  for (const char c : encoding)
    key.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  std::lock_guard lock(mutex);
  auto& cache = caches[key];
  if (!cache) cache = std::make_unique<EncoderCache>(encoding);
  return cache->ok() ? cache.get() : nullptr;
}

}  // namespace picmeta::platform
