#ifndef PICMETA_PLATFORM_SYSIO_H
#define PICMETA_PLATFORM_SYSIO_H

#include <sys/types.h>

#include <cstddef>
#include <functional>

// The system calls through which the library changes files. Tests install a
// fault injector here to make a chosen call fail as a full or broken disk would.
namespace picmeta::platform::sysio {

enum class Op { kWrite, kFsync, kRename, kUnlink };

// Returns the errno to fail the call with, or 0 to let it run.
using FaultInjector = std::function<int(Op)>;
void SetFaultInjector(FaultInjector injector);

ssize_t Write(int fd, const void* data, std::size_t size);
int Fsync(int fd);
int Rename(const char* from, const char* to);
// Renames only when `to` does not exist yet (errno EEXIST otherwise).
int RenameNoReplace(const char* from, const char* to);
int Unlink(const char* path);

// Closes a descriptor, retrying nothing (POSIX leaves the fd closed on EINTR).
int Close(int fd);

// Owns a file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) Close(fd_);
    fd_ = fd;
  }
  // Closes now and reports whether the close succeeded.
  bool close() { return fd_ < 0 || Close(release()) == 0; }

 private:
  int fd_ = -1;
};

}  // namespace picmeta::platform::sysio

#endif
