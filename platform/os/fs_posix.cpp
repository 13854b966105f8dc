// The file service's primitives on POSIX systems.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "platform/os/fs.h"
#include "platform/os/primitives.h"

namespace picmeta::platform {

namespace os {

const char kSeparator = '/';

struct Handle {
  int fd = -1;
};

void HandleClose::operator()(Handle* handle) const noexcept {
  if (handle->fd >= 0) ::close(handle->fd);
  std::default_delete<Handle>()(handle);
}

namespace {

std::error_code LastError() { return {errno, std::system_category()}; }

// A descriptor the library keeps is never 0, 1 or 2: with one of those
// closed by the host, a file of ours would become its standard stream.
std::error_code Own(int fd, OwnedHandle& handle) {
  if (fd < 0) return LastError();
  if (fd <= 2) {
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int error = errno;
    ::close(fd);
    if (moved < 0) return {error, std::system_category()};
    fd = moved;
  }
  handle.reset(std::make_unique<Handle>(Handle{fd}).release());
  return {};
}

// open, again when a signal interrupted it.
int Open(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do fd = ::open(path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

Node::Kind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return Node::Kind::kRegular;
  if (S_ISDIR(mode)) return Node::Kind::kFolder;
  if (S_ISLNK(mode)) return Node::Kind::kLink;
  return Node::Kind::kOther;
}

void Fill(const struct stat& st, Node& node) {
  node.kind = KindOf(st.st_mode);
  node.mode = st.st_mode & 07777;
  node.read_only = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  node.size = static_cast<std::int64_t>(st.st_size);
  node.modified = st.st_mtim.tv_sec;
  node.modified_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  node.created = node.modified;
  node.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  node.links = static_cast<std::uint32_t>(st.st_nlink);
}

}  // namespace

// ---- Names ----

bool IsSeparator(char c) { return c == '/'; }

std::size_t SplitRoot(std::string_view path, bool text_form, std::string& root) {
  const bool rooted = !path.empty() && (path[0] == '/' || (text_form && path[0] == '\\'));
  root.assign(rooted ? 1 : 0, '/');
  return rooted ? 1 : 0;
}

bool RootIsAbsolute(const std::string& root) { return root == "/"; }

// Only the current folder is put in front: ".." and links are left for the
// system to resolve, as it would for the path given.
std::error_code FullPath(const std::string& native, std::string& full) {
  if (!native.empty() && native[0] == '/') {
    full = native;
    return {};
  }
  std::error_code ec;
  const std::filesystem::path current = std::filesystem::current_path(ec);
  if (ec) return ec;
  full = current.string() + "/" + native;
  return {};
}

std::error_code Stat(const std::string& native, bool follow, Node& node) {
  struct statx st {};
  if (::statx(AT_FDCWD, native.c_str(), follow ? 0 : AT_SYMLINK_NOFOLLOW,
              STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
    return LastError();
  node.kind = KindOf(st.stx_mode);
  node.mode = st.stx_mode & 07777;
  node.read_only = (st.stx_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  node.size = static_cast<std::int64_t>(st.stx_size);
  node.modified = static_cast<std::time_t>(st.stx_mtime.tv_sec);
  node.modified_ns =
      static_cast<std::int64_t>(st.stx_mtime.tv_sec) * 1000000000 + st.stx_mtime.tv_nsec;
  node.created =
      (st.stx_mask & STATX_BTIME) ? static_cast<std::time_t>(st.stx_btime.tv_sec) : node.modified;
  node.links = st.stx_nlink;
  return {};
}

// A name is stored as it is spelt.
std::error_code StoredName(const std::string& native, std::string& name) {
  const auto slash = native.find_last_of('/');
  name = slash == std::string::npos ? native : native.substr(slash + 1);
  return {};
}

std::error_code StatId(const std::string& native, bool follow, Node& node) {
  struct stat st {};
  if ((follow ? ::stat(native.c_str(), &st) : ::lstat(native.c_str(), &st)) != 0)
    return LastError();
  Fill(st, node);
  return {};
}

std::error_code List(const std::string& folder, std::vector<std::string>& names) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
  if (!dir) return LastError();
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) names.emplace_back(entry->d_name);
  if (errno != 0) return LastError();
  return {};
}

std::error_code Unlink(const std::string& native) {
  return ::unlink(native.c_str()) == 0 ? std::error_code() : LastError();
}

std::error_code Rename(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? std::error_code() : LastError();
}

std::error_code RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  return LastError();
}

std::error_code Link(const std::string& from, const std::string& to) {
  return ::link(from.c_str(), to.c_str()) == 0 ? std::error_code() : LastError();
}

const bool kSyncsFolders = true;

std::error_code SyncFolder(const std::string& native) {
  const int fd = Open(native.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return LastError();
  const std::error_code ec = ::fsync(fd) == 0 ? std::error_code() : LastError();
  ::close(fd);
  return ec;
}

// ---- Open files ----

std::error_code OpenRead(const std::string& native, bool scattered, OwnedHandle& handle) {
  // O_NONBLOCK: a FIFO or device under the name must not stop the call.
  if (const auto ec = Own(Open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK), handle))
    return ec;
  if (scattered) ::posix_fadvise(handle->fd, 0, 0, POSIX_FADV_RANDOM);
  return {};
}

std::error_code CreateNew(const std::string& native, bool, OwnedHandle& handle) {
  return Own(Open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0644), handle);
}

std::error_code OpenReadWrite(const std::string& native, OwnedHandle& handle) {
  // O_NONBLOCK: a FIFO under the name must not stop the call.
  return Own(Open(native.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK), handle);
}

std::error_code Stat(Handle& handle, Node& node) {
  struct stat st {};
  if (::fstat(handle.fd, &st) != 0) return LastError();
  Fill(st, node);
  return {};
}

std::error_code ReadAt(Handle& handle, std::int64_t offset, void* buffer, std::size_t n,
                       std::size_t& got) {
  const ssize_t r = ::pread(handle.fd, buffer, n, static_cast<off_t>(offset));
  if (r < 0) return LastError();
  got = static_cast<std::size_t>(r);
  return {};
}

std::error_code Write(Handle& handle, const void* bytes, std::size_t n, std::size_t& wrote) {
  const ssize_t r = ::write(handle.fd, bytes, n);
  if (r < 0) return LastError();
  wrote = static_cast<std::size_t>(r);
  return {};
}

std::error_code SeekEnd(Handle& handle) {
  return ::lseek(handle.fd, 0, SEEK_END) < 0 ? LastError() : std::error_code();
}

std::error_code Flush(Handle& handle) {
  return ::fsync(handle.fd) == 0 ? std::error_code() : LastError();
}

std::error_code SetMode(Handle& handle, unsigned mode) {
  return ::fchmod(handle.fd, static_cast<mode_t>(mode)) == 0 ? std::error_code() : LastError();
}

std::error_code Close(OwnedHandle& handle) {
  const int fd = handle->fd;
  handle->fd = -1;
  handle.reset();
  return ::close(fd) == 0 ? std::error_code() : LastError();
}

// flock locks the open file, so that a second open of the same file, in this
// process or another, is refused while this one holds it; the system drops
// the lock with the last descriptor when the process dies.
std::error_code TryLock(Handle& handle, bool& busy) {
  busy = false;
  if (::flock(handle.fd, LOCK_EX | LOCK_NB) == 0) return {};
  if (errno == EWOULDBLOCK) {
    busy = true;
    return {};
  }
  return LastError();
}

// flock on the folder itself, so that the atomic replacement of the files
// inside does not lose it.
std::error_code OpenFolderLock(const std::string& native, OwnedHandle& handle, FileId& id) {
  if (const auto ec = Own(Open(native.c_str(), O_RDONLY | O_DIRECTORY), handle)) return ec;
  struct stat st {};
  if (::fstat(handle->fd, &st) != 0) return LastError();
  id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  return {};
}

std::error_code TryLockFolder(Handle& handle, bool& busy) { return TryLock(handle, busy); }

unsigned long ProcessId() { return static_cast<unsigned long>(::getpid()); }

}  // namespace os
}  // namespace picmeta::platform
