#include "scramble/encrypt.h"

#include <cstdint>

#include "platform/os/fs.h"

namespace picmeta::encrypt {
namespace {

void Shift(char* p, std::size_t n, unsigned char by) {
  for (std::size_t i = 0; i < n; ++i)
    p[i] = static_cast<char>(static_cast<unsigned char>(p[i]) + by);  // wraps modulo 256
}

// The byte count is a signed 32-bit number.
constexpr std::int64_t kMaxSourceBytes = 0x7FFFFFFF;

}  // namespace

void Scramble(std::string& bytes) { Shift(bytes.data(), bytes.size(), 1); }
void Unscramble(std::string& bytes) { Shift(bytes.data(), bytes.size(), 255); }

void EncryptFile(const std::string& source, const std::string& destination) {
  std::string bytes;
  platform::Status s = platform::ReadWholeFile(source, kMaxSourceBytes, bytes);
  if (s.code == platform::FileStatus::kNotFound) {
    platform::AtomicWriteFile(source, "");  // a missing source is created empty
    s = {};
  }
  platform::Check(s, "cannot read", source);
  Scramble(bytes);
  platform::AtomicWriteFile(destination, bytes);
}

}  // namespace picmeta::encrypt
