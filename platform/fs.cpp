#include "platform/fs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/text.h"

namespace picmeta::platform {
namespace {

constexpr std::string_view kTempSuffix = ".pmtmp";

[[noreturn]] void Fail(const std::string& what, std::string_view path, int err) {
  throw FsError(what + " " + std::string(path) + ": " + std::strerror(err), err);
}

struct Stat {
  struct statx st;
};

std::optional<Stat> StatPath(const std::string& posix) {
  Stat s{};
  if (::statx(AT_FDCWD, posix.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &s.st) != 0)
    return std::nullopt;
  return s;
}

bool IsReadOnly(const struct statx& st) {
  return (st.stx_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

// Splits a POSIX path into folder ("." for none) and last component.
std::pair<std::string, std::string> SplitPosix(const std::string& posix) {
  const auto slash = posix.find_last_of('/');
  if (slash == std::string::npos) return {".", posix};
  return {slash == 0 ? "/" : posix.substr(0, slash), posix.substr(slash + 1)};
}

// Temporary names: "." + target name + "." + pid + "-" + sequence + ".pmtmp".
std::string TemporaryName(const std::string& name) {
  static std::atomic<unsigned long> sequence{0};
  return "." + name + "." + std::to_string(::getpid()) + "-" +
         std::to_string(sequence.fetch_add(1)) + std::string(kTempSuffix);
}

std::optional<pid_t> TemporaryOwner(std::string_view name) {
  if (!IsTemporaryName(name)) return std::nullopt;
  name.remove_suffix(kTempSuffix.size());
  const auto dash = name.find_last_of('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const auto dot = name.find_last_of('.', dash);
  if (dot == std::string_view::npos) return std::nullopt;
  pid_t pid = 0;
  const auto digits = name.substr(dot + 1, dash - dot - 1);
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  if (ec != std::errc() || end != digits.data() + digits.size() || pid <= 0) return std::nullopt;
  return pid;
}

// Removes temporary files whose writing process no longer exists.
void RemoveStaleTemporaries(const std::string& folder) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    const auto owner = TemporaryOwner(entry->d_name);
    if (!owner || *owner == ::getpid()) continue;
    if (::kill(*owner, 0) == 0 || errno != ESRCH) continue;
    sysio::Unlink((folder + "/" + entry->d_name).c_str());
  }
}

void WriteAll(int fd, std::string_view bytes, const std::string& path) {
  while (!bytes.empty()) {
    const ssize_t n = sysio::Write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("cannot write", path, errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

FsError::FsError(const std::string& what, int err) : std::runtime_error(what), err_(err) {}

std::string PosixPath(std::string_view path) {
  std::string out(path);
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

bool FileExists(std::string_view path) {
  const auto s = StatPath(PosixPath(path));
  return s && S_ISREG(s->st.stx_mode);
}

bool FolderExists(std::string_view path) {
  const auto s = StatPath(PosixPath(path));
  return s && S_ISDIR(s->st.stx_mode);
}

FileInfo GetFile(std::string_view path) {
  const std::string posix = PosixPath(path);
  const auto s = StatPath(posix);
  if (!s) Fail("cannot find file", path, errno);
  if (!S_ISREG(s->st.stx_mode)) Fail("not a file:", path, ENOENT);
  FileInfo info;
  info.name = GetFileName(path);
  info.modified = static_cast<std::time_t>(s->st.stx_mtime.tv_sec);
  info.created = (s->st.stx_mask & STATX_BTIME) ? static_cast<std::time_t>(s->st.stx_btime.tv_sec)
                                                : info.modified;
  info.size = static_cast<std::int64_t>(s->st.stx_size);
  return info;
}

std::string ParentFolderPath(std::string_view path) {
  std::error_code ec;
  auto absolute = std::filesystem::absolute(std::filesystem::path(PosixPath(path)), ec);
  if (ec) Fail("cannot resolve", path, ec.value());
  auto parent = absolute.lexically_normal().parent_path().string();
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  return BackslashPath(parent);
}

std::string GetFileName(std::string_view path) {
  const auto sep = path.find_last_of("\\/");
  return std::string(sep == std::string_view::npos ? path : path.substr(sep + 1));
}

void DeleteFile(std::string_view path) {
  const std::string posix = PosixPath(path);
  const auto s = StatPath(posix);
  if (!s) Fail("cannot delete", path, errno);
  if (!S_ISREG(s->st.stx_mode)) Fail("cannot delete", path, EISDIR);
  if (IsReadOnly(s->st)) Fail("cannot delete read-only file", path, EACCES);
  if (sysio::Unlink(posix.c_str()) != 0) Fail("cannot delete", path, errno);
}

std::optional<std::string> ReadWholeFile(std::string_view path) {
  const std::string posix = PosixPath(path);
  sysio::UniqueFd fd(::open(posix.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::string bytes;
  bytes.resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  for (;;) {
    if (done == bytes.size()) bytes.resize(bytes.size() + 4096);  // the file grew
    const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

bool IsTemporaryName(std::string_view name) {
  return name.size() > kTempSuffix.size() + 1 && name.front() == '.' &&
         name.substr(name.size() - kTempSuffix.size()) == kTempSuffix;
}

void AtomicWriteFile(std::string_view path, std::string_view bytes) {
  const std::string posix = PosixPath(path);
  const auto [folder, name] = SplitPosix(posix);
  std::optional<mode_t> keep_mode;
  if (const auto s = StatPath(posix)) {
    if (!S_ISREG(s->st.stx_mode)) Fail("cannot replace", path, EISDIR);
    if (IsReadOnly(s->st)) Fail("cannot replace read-only file", path, EACCES);
    keep_mode = s->st.stx_mode & 07777;
  }
  RemoveStaleTemporaries(folder);

  const std::string temp = folder + "/" + TemporaryName(name);
  sysio::UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!fd) Fail("cannot create", temp, errno);
  try {
    WriteAll(fd.get(), bytes, temp);
    if (keep_mode && ::fchmod(fd.get(), *keep_mode) != 0) Fail("cannot set mode of", temp, errno);
    if (sysio::Fsync(fd.get()) != 0) Fail("cannot sync", temp, errno);
    if (!fd.close()) Fail("cannot close", temp, errno);
    if (sysio::Rename(temp.c_str(), posix.c_str()) != 0) Fail("cannot rename onto", path, errno);
  } catch (...) {
    fd.reset();
    ::unlink(temp.c_str());  // not through the seam: cleaning up must not be made to fail
    throw;
  }
  // The new content is in place, so a failure from here on is not reported:
  // the caller must not believe the old file still stands. Syncing the folder
  // makes the rename survive a power loss.
  sysio::UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) sysio::Fsync(dir.get());
}

std::optional<FileVersion> VersionOf(std::string_view path) {
  const auto s = StatPath(PosixPath(path));
  if (!s || !S_ISREG(s->st.stx_mode)) return std::nullopt;
  return FileVersion{s->st.stx_ino, static_cast<std::int64_t>(s->st.stx_size),
                     s->st.stx_mtime.tv_sec * 1000000000LL + s->st.stx_mtime.tv_nsec};
}

void RenameNoReplace(std::string_view path, std::string_view target) {
  const std::string from = PosixPath(path);
  const std::string to = PosixPath(target);
  if (sysio::RenameNoReplace(from.c_str(), to.c_str()) != 0) Fail("cannot rename", path, errno);
}

FolderLock::FolderLock(std::string_view folder, int timeout_ms) {
  const std::string posix = PosixPath(folder);
  fd_.reset(::open(posix.empty() ? "." : posix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd_) Fail("cannot open folder", folder, errno);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  auto pause = std::chrono::microseconds(200);
  while (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) Fail("cannot lock folder", folder, errno);
    if (std::chrono::steady_clock::now() >= deadline) Fail("timed out locking", folder, errno);
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(20000));
  }
}

}  // namespace picmeta::platform
