#ifndef PICMETA_PLATFORM_FS_H
#define PICMETA_PLATFORM_FS_H

#include <cstdint>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/sysio.h"

// The file-system service. Paths come in the library's form, with "\"
// separators; they are turned into POSIX paths here and only here.
namespace picmeta::platform {

// A file-system call that failed; the step that made it is skipped.
class FsError : public std::runtime_error {
 public:
  FsError(const std::string& what, int err);
  int error() const noexcept { return err_; }

 private:
  int err_;
};

std::string PosixPath(std::string_view path);

bool FileExists(std::string_view path);
bool FolderExists(std::string_view path);

struct FileInfo {
  std::string name;         // last component, as stored
  std::time_t created = 0;  // birth time where recorded, else modification time
  std::time_t modified = 0;
  std::int64_t size = 0;
};

// Throws FsError when no file (a folder counts as none) has that path.
FileInfo GetFile(std::string_view path);

// The folder holding a path: absolute, "\" separators, no trailing "\".
std::string ParentFolderPath(std::string_view path);

// The text after the last "\" or "/".
std::string GetFileName(std::string_view path);

// Deletes a file without force: a read-only file (no write permission bit,
// also for root) is refused with FsError.
void DeleteFile(std::string_view path);

// Whole content of a regular file; nullopt when it cannot be read.
std::optional<std::string> ReadWholeFile(std::string_view path);

// Replaces the file at path with bytes so that a crash or a failed write never
// leaves it truncated: temporary file in the same folder, fsync, rename, fsync
// of the folder. On failure (FsError) the old file is untouched and no
// temporary file remains. A read-only target is refused like DeleteFile does.
// Temporary files left by processes that died are removed on the way.
void AtomicWriteFile(std::string_view path, std::string_view bytes);

// True for a temporary file name that AtomicWriteFile makes.
bool IsTemporaryName(std::string_view name);

// What tells one version of a file from another: a replacement by
// AtomicWriteFile changes the inode, a write in place the time or size.
struct FileVersion {
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;
  friend bool operator==(const FileVersion&, const FileVersion&) = default;
};
std::optional<FileVersion> VersionOf(std::string_view path);

// Renames path to target, failing with FsError when target exists.
void RenameNoReplace(std::string_view path, std::string_view target);

// Exclusive advisory lock on a folder (flock on the folder itself, so that the
// atomic replacement of the files inside does not lose it). Serialises threads
// and processes. Waits at most `timeout_ms`, then throws FsError.
class FolderLock {
 public:
  explicit FolderLock(std::string_view folder, int timeout_ms = 20000);
  FolderLock(FolderLock&&) = default;
  FolderLock& operator=(FolderLock&&) = default;

 private:
  sysio::UniqueFd fd_;  // closing the descriptor releases the lock
};

}  // namespace picmeta::platform

#endif
