#include "scramble/encrypt.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/fs.h"
#include "platform/sysio.h"

namespace picmeta::encrypt {
namespace {

void Shift(char* p, std::size_t n, unsigned char by) {
  for (std::size_t i = 0; i < n; ++i)
    p[i] = static_cast<char>(static_cast<unsigned char>(p[i]) + by);  // wraps modulo 256
}

[[noreturn]] void Fail(const char* what, const std::string& path) {
  throw platform::FsError(std::string(what) + " " + path + ": " + std::strerror(errno), errno);
}

}  // namespace

void Scramble(std::string& bytes) { Shift(bytes.data(), bytes.size(), 1); }
void Unscramble(std::string& bytes) { Shift(bytes.data(), bytes.size(), 255); }

void EncryptFile(const std::string& source, const std::string& destination) {
  namespace sysio = platform::sysio;
  const std::string src_path = platform::PosixPath(source);
  const std::string dst_path = platform::PosixPath(destination);
  sysio::UniqueFd in(::open(src_path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666));
  if (!in) Fail("cannot open", source);
  sysio::UniqueFd out(::open(dst_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!out) Fail("cannot open", destination);
  std::vector<char> block(64 * 1024);
  for (;;) {
    const ssize_t n = ::read(in.get(), block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("cannot read", source);
    if (n == 0) break;
    Shift(block.data(), static_cast<std::size_t>(n), 1);
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = sysio::Write(out.get(), block.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) Fail("cannot write", destination);
      done += w;
    }
  }
  if (!out.close()) Fail("cannot close", destination);
}

}  // namespace picmeta::encrypt
