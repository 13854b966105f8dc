#include "platform/os/text.h"

#include <cstring>

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

std::string Mid(std::string_view text, std::size_t start, std::size_t count) {
  if (start == 0) start = 1;
  std::size_t i = 0;
  std::size_t position = 1;
  // Continuation bytes never start a character, so this counts code points
  // even in text that is not strictly valid.
  auto advance = [&] {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  };
  while (i < text.size() && position < start) {
    advance();
    ++position;
  }
  const std::size_t from = i;
  for (std::size_t n = 0; n < count && i < text.size(); ++n) advance();
  return std::string(text.substr(from, i - from));
}

std::string TrimBlanks(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

std::string BackslashPath(std::string_view path) {
  std::string out(path);
  for (char& c : out)
    if (c == '/') c = '\\';
  return out;
}

void AppendLatin1(std::string& out, unsigned char byte) {
  if (byte < 0x80) {
    out.push_back(static_cast<char>(byte));
  } else {
    out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
    out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
  }
}

std::string XmlSafe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t cp = 0;
    const std::size_t len = DecodeUtf8(text, i, cp);
    if (len == 0) {  // not UTF-8: drop this byte, resynchronise on the next
      ++i;
      continue;
    }
    const bool allowed =
        cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp != 0xFFFE && cp != 0xFFFF);
    if (allowed) out.append(text.substr(i, len));
    i += len;
  }
  return out;
}

namespace {

std::uint64_t Avalanche(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return x;
}

}  // namespace

void ContentHasher::Word(std::uint64_t w) {
  h_ ^= Avalanche(w);
  h_ = ((h_ << 27) | (h_ >> 37)) * 0x9E3779B97F4A7C15ull + 0x52DCE729ull;
}

void ContentHasher::Add(std::string_view bytes) {
  length_ += bytes.size();
  std::size_t i = 0;
  if (held_ > 0) {
    while (held_ < 8 && i < bytes.size()) tail_[held_++] = static_cast<unsigned char>(bytes[i++]);
    if (held_ < 8) return;
    std::uint64_t w;
    std::memcpy(&w, tail_, 8);
    Word(w);
    held_ = 0;
  }
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, bytes.data() + i, 8);
    Word(w);
  }
  while (i < bytes.size()) tail_[held_++] = static_cast<unsigned char>(bytes[i++]);
}

std::uint64_t ContentHasher::value() const {
  std::uint64_t w = 0;
  std::memcpy(&w, tail_, held_);
  return Avalanche(h_ ^ Avalanche(w ^ (length_ * 0x9E3779B97F4A7C15ull)));
}

}  // namespace picmeta::platform
