// The file service on POSIX systems.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <utility>

#include "platform/os/fs.h"
#include "platform/os/text.h"

namespace picmeta::platform {
namespace {

using detail::Injected;

Status FromErrno(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return {FileStatus::kNotFound, err};
    case ELOOP:  // O_NOFOLLOW met a symbolic link
    case EISDIR:
    case ENXIO:
      return {FileStatus::kNotRegular, err};
    case EEXIST:
      return {FileStatus::kExists, err};
    default:
      return {FileStatus::kIoError, err};
  }
}

// Runs a system call unless the seam fails it; -1 with errno set on failure.
template <class Call>
auto Sys(Op op, Call call) -> decltype(call()) {
  if (const Fault f = Injected(op); f.error != 0) {
    errno = f.error;
    return -1;
  }
  return call();
}

bool IsReadOnly(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  // Closes now and reports whether the close succeeded.
  bool close() {
    const int f = fd;
    fd = -1;
    return f < 0 || ::close(f) == 0;
  }
};

// Splits a native path into folder ("." for none) and last component.
std::pair<std::string, std::string> Split(const std::string& native) {
  const auto slash = native.find_last_of('/');
  if (slash == std::string::npos) return {".", native};
  return {slash == 0 ? "/" : native.substr(0, slash), native.substr(slash + 1)};
}

std::string TemporaryName() { return std::string(detail::kTempPrefix) + UniqueId(); }

// Removes temporaries that were clearly abandoned (by a writer that crashed):
// one still being written, here or on another host sharing the folder, is
// never that old.
void SweepAbandoned(const std::string& folder) {
  const std::time_t now = std::time(nullptr);
  if (!detail::SweepDue(folder, now)) return;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (!IsTemporaryName(entry->d_name)) continue;
    const std::string path = folder + "/" + entry->d_name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (now - st.st_mtime > detail::kAbandonedAfterSeconds) ::unlink(path.c_str());
  }
}

Status WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const Fault f = Injected(Op::kWrite);
    if (f.error != 0) return FromErrno(f.error);
    const std::size_t want = f.short_io ? std::max<std::size_t>(1, bytes.size() / 2) : bytes.size();
    const ssize_t n = ::write(fd, bytes.data(), want);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno(errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// Writes bytes to a new temporary file in folder, synced and closed; its
// path in `temp`. Nothing is left behind on failure.
Status WriteTemporary(const std::string& folder, std::string_view bytes, std::string& temp) {
  temp = folder + "/" + TemporaryName();
  Fd fd(Sys(Op::kOpen, [&] {
    return ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  }));
  if (fd.fd < 0) return FromErrno(errno);
  Status s = WriteAll(fd.fd, bytes);
  if (s.ok() && Sys(Op::kFsync, [&] { return ::fsync(fd.fd); }) != 0) s = FromErrno(errno);
  if (s.ok() && !fd.close()) s = FromErrno(errno);
  if (!s.ok()) {
    fd.reset();
    ::unlink(temp.c_str());  // not through the seam: cleaning up must not be made to fail
  }
  return s;
}

// rename that never replaces: renameat2 where the file system has it, a hard
// link (which fails on an existing name) where it does not.
int RenameNoReplaceRaw(const std::string& from, const std::string& to) {
  const int r = Sys(Op::kRename, [&] {
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  });
  if (r == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  if (Sys(Op::kLink, [&] { return ::link(from.c_str(), to.c_str()); }) != 0) return -1;
  ::unlink(from.c_str());
  return 0;
}

}  // namespace

// Short, so that a long name never overflows the name limit; the random part
// keeps writers on other hosts or PID namespaces apart.
std::string UniqueId() {
  static std::atomic<unsigned long> sequence{0};
  static const unsigned long salt = [] {
    std::random_device rd;
    return (static_cast<unsigned long>(rd()) << 16) ^ rd();
  }();
  char buf[64];
  std::snprintf(buf, sizeof buf, "%ld-%lu-%08lx", static_cast<long>(::getpid()),
                sequence.fetch_add(1), salt & 0xFFFFFFFFul);
  return buf;
}

std::string NativePath(std::string_view path) {
  std::string out(path);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

Status StatFile(std::string_view path, FileInfo& info) {
  const std::string native = NativePath(path);
  struct statx st {};
  if (Sys(Op::kStat, [&] {
        return ::statx(AT_FDCWD, native.c_str(), AT_SYMLINK_NOFOLLOW,
                       STATX_BASIC_STATS | STATX_BTIME, &st);
      }) != 0)
    return FromErrno(errno);
  if (!S_ISREG(st.stx_mode)) return {FileStatus::kNotRegular, 0};
  info.name = GetFileName(path);
  info.modified = static_cast<std::time_t>(st.stx_mtime.tv_sec);
  info.modified_ns =
      static_cast<std::int64_t>(st.stx_mtime.tv_sec) * 1000000000 + st.stx_mtime.tv_nsec;
  info.created =
      (st.stx_mask & STATX_BTIME) ? static_cast<std::time_t>(st.stx_btime.tv_sec) : info.modified;
  info.size = static_cast<std::int64_t>(st.stx_size);
  info.read_only = IsReadOnly(st.stx_mode);
  return {};
}

bool FolderExists(std::string_view path) {
  const std::string native = NativePath(path);
  struct stat st {};
  return Sys(Op::kStat, [&] { return ::stat(native.c_str(), &st); }) == 0 && S_ISDIR(st.st_mode);
}

std::string ParentFolderPath(std::string_view path) {
  std::error_code ec;
  auto absolute = std::filesystem::absolute(std::filesystem::path(NativePath(path)), ec);
  if (ec) throw FsError("cannot resolve " + NativePath(path), {FileStatus::kIoError, ec.value()});
  auto parent = absolute.lexically_normal().parent_path().string();
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  return BackslashPath(parent);
}

Status GetFileId(std::string_view path, FileId& id) {
  const std::string native = NativePath(path);
  struct stat st {};
  if (Sys(Op::kStat, [&] { return ::lstat(native.c_str(), &st); }) != 0) return FromErrno(errno);
  if (!S_ISREG(st.st_mode)) return {FileStatus::kNotRegular, 0};
  id.device = static_cast<std::uint64_t>(st.st_dev);
  id.file = static_cast<std::uint64_t>(st.st_ino);
  return {};
}

Status ListFolder(std::string_view folder, std::vector<std::string>& names) {
  names.clear();
  const std::string native = NativePath(folder);
  if (const Fault f = Injected(Op::kList); f.error != 0) return FromErrno(f.error);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(native.empty() ? "." : native.c_str()),
                                          &::closedir);
  if (!dir) return FromErrno(errno);
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  if (errno != 0) return FromErrno(errno);
  return {};
}

bool SameFile(std::string_view a, std::string_view b) {
  struct stat sa {
  }, sb{};
  return ::stat(NativePath(a).c_str(), &sa) == 0 && ::stat(NativePath(b).c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// ---- ReadFile ----------------------------------------------------------------

void ReadFile::Close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

Status ReadFile::Open(std::string_view path, Access access) {
  Close();
  const std::string native = NativePath(path);
  // O_NONBLOCK: a FIFO or device under the name must not stop the call.
  const detail::FaultPathScope scope(path);
  Fd fd(Sys(Op::kOpen, [&] {
    return ::open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }));
  if (fd.fd < 0) return FromErrno(errno);
  struct stat st {};
  if (::fstat(fd.fd, &st) != 0) return FromErrno(errno);
  // anything that's not a regular file doesn't have a coherent length
  if (!S_ISREG(st.st_mode)) return {FileStatus::kNotRegular, 0};
  size_ = static_cast<std::int64_t>(st.st_size);
  if (access == Access::kScattered) ::posix_fadvise(fd.fd, 0, 0, POSIX_FADV_RANDOM);
  handle_ = std::exchange(fd.fd, -1);
  return {};
}

Status ReadFile::ReadAt(std::int64_t offset, void* buffer, std::size_t n) const {
  if (handle_ < 0) return {FileStatus::kIoError, EBADF};
  auto* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < n) {
    const Fault f = Injected(Op::kRead);
    if (f.error != 0) return FromErrno(f.error);
    const std::size_t want = f.short_io ? std::max<std::size_t>(1, (n - done) / 2) : n - done;
    const ssize_t got = ::pread(static_cast<int>(handle_), out + done, want,
                                static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
    if (got < 0) {
      if (errno == EINTR) continue;
      return FromErrno(errno);
    }
    if (got == 0) return {FileStatus::kIoError, 0};  // the file ended sooner: it shrank
    done += static_cast<std::size_t>(got);
  }
  return {};
}

// ---- Changing files ------------------------------------------------------------

void DeleteFile(std::string_view path) {
  const std::string native = NativePath(path);
  struct stat st {};
  if (Sys(Op::kStat, [&] { return ::lstat(native.c_str(), &st); }) != 0)
    Check(FromErrno(errno), "cannot delete", path);
  if (!S_ISREG(st.st_mode)) Check({FileStatus::kNotRegular, 0}, "cannot delete", path);
  if (IsReadOnly(st.st_mode)) Check({FileStatus::kReadOnly, EACCES}, "cannot delete", path);
  if (Sys(Op::kUnlink, [&] { return ::unlink(native.c_str()); }) != 0)
    Check(FromErrno(errno), "cannot delete", path);
}

AtomicFileWriter::AtomicFileWriter(std::string_view path) : path_(path) {
  const std::string native = NativePath(path);
  const auto [folder, name] = Split(native);
  struct stat st {};
  if (Sys(Op::kStat, [&] { return ::lstat(native.c_str(), &st); }) == 0) {
    if (S_ISREG(st.st_mode)) {
      if (IsReadOnly(st.st_mode)) Check({FileStatus::kReadOnly, EACCES}, "cannot replace", path);
      keep_mode_ = static_cast<int>(st.st_mode & 07777);
    } else if (!S_ISLNK(st.st_mode)) {
      Check({FileStatus::kNotRegular, 0}, "cannot replace", path);
    }
  } else if (errno != ENOENT) {
    Check(FromErrno(errno), "cannot replace", path);
  }
  SweepAbandoned(folder);
  temp_ = folder + "/" + TemporaryName();
  const int fd = Sys(Op::kOpen, [&] {
    return ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  });
  if (fd < 0) Check(FromErrno(errno), "cannot write", path);
  handle_ = fd;
}

AtomicFileWriter::~AtomicFileWriter() { Discard(); }

void AtomicFileWriter::Discard() {
  if (handle_ < 0) return;
  ::close(static_cast<int>(handle_));
  handle_ = -1;
  ::unlink(temp_.c_str());  // not through the seam: cleaning up must not be made to fail
}

void AtomicFileWriter::Write(std::string_view bytes) {
  if (handle_ < 0)
    throw FsError("cannot write " + NativePath(path_) + ": not open",
                  {FileStatus::kIoError, EBADF});
  if (const Status s = WriteAll(static_cast<int>(handle_), bytes); !s.ok()) {
    Discard();
    Check(s, "cannot write", path_);
  }
}

void AtomicFileWriter::Commit() {
  if (handle_ < 0)
    throw FsError("cannot write " + NativePath(path_) + ": not open",
                  {FileStatus::kIoError, EBADF});
  const int fd = static_cast<int>(handle_);
  Status s;
  if (keep_mode_ >= 0 && ::fchmod(fd, static_cast<mode_t>(keep_mode_)) != 0) s = FromErrno(errno);
  if (s.ok() && Sys(Op::kFsync, [&] { return ::fsync(fd); }) != 0) s = FromErrno(errno);
  if (!s.ok()) {
    Discard();
    Check(s, "cannot write", path_);
  }
  handle_ = -1;
  if (::close(fd) != 0) {
    s = FromErrno(errno);
    ::unlink(temp_.c_str());
    Check(s, "cannot write", path_);
  }
  const std::string native = NativePath(path_);
  if (Sys(Op::kRename, [&] { return ::rename(temp_.c_str(), native.c_str()); }) != 0) {
    s = FromErrno(errno);
    ::unlink(temp_.c_str());
    Check(s, "cannot replace", path_);
  }
  // The new content is in place, so a failure from here on is not reported:
  // the caller must not believe the old file still stands.
  SyncFolder(BackslashPath(Split(native).first));
}

Status CreateExclusive(std::string_view path, std::string_view bytes) {
  const std::string native = NativePath(path);
  const std::string folder = Split(native).first;
  SweepAbandoned(folder);
  std::string temp;
  if (Status s = WriteTemporary(folder, bytes, temp); !s.ok()) return s;
  if (RenameNoReplaceRaw(temp, native) != 0) {
    const Status s = FromErrno(errno);
    ::unlink(temp.c_str());
    return s;
  }
  SyncFolder(BackslashPath(folder));
  return {};
}

void RenameNoReplace(std::string_view path, std::string_view target) {
  if (RenameNoReplaceRaw(NativePath(path), NativePath(target)) != 0)
    Check(FromErrno(errno), "cannot rename", path);
}

void SyncFolder(std::string_view folder) {
  const std::string native = NativePath(folder);
  Fd dir(Sys(Op::kOpen, [&] {
    return ::open(native.empty() ? "." : native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  if (dir.fd >= 0) Sys(Op::kFsync, [&] { return ::fsync(dir.fd); });
}

// ---- LockedFile ----------------------------------------------------------------

LockedFile::~LockedFile() { Close(); }

void LockedFile::Close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));  // the lock goes with it
  handle_ = -1;
}

// flock locks the open file, so that a second open of the same file, in this
// process or another, is refused while this one holds it; the system drops
// the lock with the last descriptor when the process dies.
Status LockedFile::Create(std::string_view path) {
  Close();
  path_ = std::string(path);
  const std::string native = NativePath(path);
  Fd fd(Sys(Op::kOpen, [&] {
    return ::open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  }));
  if (fd.fd < 0) return FromErrno(errno);
  if (::flock(fd.fd, LOCK_EX | LOCK_NB) != 0) {
    const Status s = FromErrno(errno);
    ::unlink(native.c_str());
    return s;
  }
  handle_ = std::exchange(fd.fd, -1);
  return {};
}

Status LockedFile::TryTake(std::string_view path) {
  Close();
  path_ = std::string(path);
  const std::string native = NativePath(path);
  Fd fd(Sys(Op::kOpen, [&] { return ::open(native.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC); }));
  if (fd.fd < 0) return FromErrno(errno);
  struct stat st {};
  if (::fstat(fd.fd, &st) != 0) return FromErrno(errno);
  if (!S_ISREG(st.st_mode)) return {FileStatus::kNotRegular, 0};
  while (Sys(Op::kLock, [&] { return ::flock(fd.fd, LOCK_EX | LOCK_NB); }) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return {FileStatus::kLocked, errno};
    return FromErrno(errno);
  }
  handle_ = std::exchange(fd.fd, -1);
  return {};
}

Status LockedFile::Append(std::string_view bytes) {
  if (handle_ < 0) return {FileStatus::kIoError, EBADF};
  const int fd = static_cast<int>(handle_);
  if (::lseek(fd, 0, SEEK_END) < 0) return FromErrno(errno);
  if (Status s = WriteAll(fd, bytes); !s.ok()) return s;
  if (Sys(Op::kFsync, [&] { return ::fsync(fd); }) != 0) return FromErrno(errno);
  return {};
}

Status LockedFile::ReadAll(std::string& bytes) const {
  bytes.clear();
  if (handle_ < 0) return {FileStatus::kIoError, EBADF};
  const int fd = static_cast<int>(handle_);
  char buffer[8192];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno(errno);
    }
    if (n == 0) return {};
    bytes.append(buffer, static_cast<std::size_t>(n));
    at += n;
  }
}

Status LockedFile::RenameTo(std::string_view target) {
  if (handle_ < 0) return {FileStatus::kIoError, EBADF};
  if (RenameNoReplaceRaw(NativePath(path_), NativePath(target)) != 0) return FromErrno(errno);
  path_ = std::string(target);
  SyncFolder(BackslashPath(Split(NativePath(path_)).first));
  return {};
}

Status LockedFile::Remove() {
  if (handle_ < 0) return {FileStatus::kIoError, EBADF};
  Status s;
  if (Sys(Op::kUnlink, [&] { return ::unlink(NativePath(path_).c_str()); }) != 0)
    s = FromErrno(errno);
  Close();
  return s;
}

// ---- FolderLock ----------------------------------------------------------------

namespace {
thread_local int t_locks_held = 0;
}  // namespace

bool HoldingFolderLock() { return t_locks_held > 0; }

// flock on the folder itself, so that the atomic replacement of the files
// inside does not lose it.
FolderLock::FolderLock(std::string_view folder, int timeout_ms) {
  const std::string native = NativePath(folder);
  Fd fd(Sys(Op::kOpen, [&] {
    return ::open(native.empty() ? "." : native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  if (fd.fd < 0) Check(FromErrno(errno), "cannot open folder", folder);
  if (timeout_ms < 0) timeout_ms = detail::DefaultLockTimeout();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  auto pause = std::chrono::microseconds(200);
  while (Sys(Op::kLock, [&] { return ::flock(fd.fd, LOCK_EX | LOCK_NB); }) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) Check(FromErrno(errno), "cannot lock", folder);
    if (std::chrono::steady_clock::now() >= deadline)
      Check({FileStatus::kIoError, ETIMEDOUT}, "timed out locking", folder);
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(20000));
  }
  handle_ = std::exchange(fd.fd, -1);
  ++t_locks_held;
}

FolderLock::~FolderLock() {
  if (handle_ < 0) return;
  ::close(static_cast<int>(handle_));
  --t_locks_held;
}

}  // namespace picmeta::platform
