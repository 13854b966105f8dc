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

platform::Status EncryptFile(const platform::Path& source, const platform::Path& destination,
                             bool replace) {
  std::string bytes;
  if (platform::Status s = platform::ReadWholeFile(source, kMaxSourceBytes, bytes); !s.ok())
    return s;
  Scramble(bytes);
  return replace ? platform::AtomicWriteFile(destination, bytes)
                 : platform::CreateExclusive(destination, bytes);
}

}  // namespace picmeta::encrypt
