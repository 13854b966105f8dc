#include "platform/sysio.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace picmeta::platform::sysio {
namespace {

std::atomic<bool> g_injecting{false};
std::mutex g_mutex;
FaultInjector g_injector;

// True when the injector asks for this call to fail; errno is then set.
bool Injected(Op op) {
  if (!g_injecting.load(std::memory_order_acquire)) return false;
  std::lock_guard lock(g_mutex);
  if (!g_injector) return false;
  const int err = g_injector(op);
  if (err == 0) return false;
  errno = err;
  return true;
}

}  // namespace

void SetFaultInjector(FaultInjector injector) {
  std::lock_guard lock(g_mutex);
  g_injector = std::move(injector);
  g_injecting.store(static_cast<bool>(g_injector), std::memory_order_release);
}

ssize_t Write(int fd, const void* data, std::size_t size) {
  if (Injected(Op::kWrite)) return -1;
  return ::write(fd, data, size);
}

int Fsync(int fd) {
  if (Injected(Op::kFsync)) return -1;
  return ::fsync(fd);
}

int Rename(const char* from, const char* to) {
  if (Injected(Op::kRename)) return -1;
  return ::rename(from, to);
}

int RenameNoReplace(const char* from, const char* to) {
  if (Injected(Op::kRename)) return -1;
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // File systems without RENAME_NOREPLACE: a hard link fails on an existing name.
  if (::link(from, to) != 0) return -1;
  return ::unlink(from);
}

int Unlink(const char* path) {
  if (Injected(Op::kUnlink)) return -1;
  return ::unlink(path);
}

int Close(int fd) { return ::close(fd); }

}  // namespace picmeta::platform::sysio
