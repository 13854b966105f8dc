#ifndef PICMETA_PLATFORM_FS_H
#define PICMETA_PLATFORM_FS_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/os/path.h"

// The file service: every file the library touches (pictures, workspace files,
// record files, hand-over files) is opened, read, written, replaced and
// deleted here and nowhere else. Paths are Path values (path.h), spelt in the
// system's form only at the system call.
//
// Files are opened without following a final symbolic link and without
// blocking; anything but a regular file is refused. Every call answers with a
// status that tells what went wrong, with the system's own error code, and
// every call of the system passes through one fault-injection seam so that
// tests can make any of them fail. Each system supplies a small table of
// calls (primitives.h); the policy is written once, above it.
namespace picmeta::platform {

namespace os {
// An open file, folder lock or journal of the system: a descriptor or a
// handle, defined by each platform's table.
struct Handle;
struct HandleClose {
  void operator()(Handle* handle) const noexcept;
};
using OwnedHandle = std::unique_ptr<Handle, HandleClose>;
}  // namespace os

enum class FileStatus {
  kOk,
  kNotFound,     // no such file or folder
  kNotRegular,   // a folder, a device, a FIFO, a socket or a symbolic link
  kTooLarge,     // larger than the caller allows
  kExists,       // the name is taken (create-exclusive)
  kReadOnly,     // a file without write permission, which is never replaced or deleted
  kLocked,       // another owner, alive, holds the file's lock (LockedFile)
  kLockTimeout,  // a folder's lock was not had in time (FolderLock)
  kNotSynced,    // done, but its folder could not be synced: a power loss may undo it
  kIoError,      // anything else; `error` holds the system's error
};

struct [[nodiscard]] Status {
  FileStatus code = FileStatus::kOk;
  // The system's error code (its native category), or an errno value
  // (generic) where the library or the fault seam decided; none when there is
  // none.
  std::error_code error;

  Status() = default;
  Status(FileStatus c, std::error_code e = {}) : code(c), error(e) {}
  Status(FileStatus c, int errno_value)
      : code(c),
        error(errno_value ? std::error_code(errno_value, std::generic_category())
                          : std::error_code()) {}
  bool ok() const { return code == FileStatus::kOk; }
};

// The status of a failed system call: not found, not regular, exists, or an
// I/O error, with the code.
Status StatusOf(std::error_code error);

// "not found", "not a regular file", ..., with the system error's text.
std::string Describe(const Status& status);

// A value, or the status of why there is none: what the calls that make an
// object answer (after LLVM's Expected). Failures are values here; nothing
// in this service throws but for a fault of the program or memory exhausted.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(Status status) : status_(status) {}  // never ok
  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Status& status() const { return status_; }
  T& operator*() { return *value_; }
  T* operator->() { return &*value_; }

 private:
  std::optional<T> value_;
  Status status_;
};

// The fault-injection seam. Tests install an injector; every call of the
// service asks it first and fails with the error it names, or (short_io)
// transfers fewer bytes than asked.
enum class Op { kOpen, kStat, kRead, kWrite, kFsync, kRename, kLink, kUnlink, kLock, kList };
struct Fault {
  int error = 0;
  bool short_io = false;
  bool skip = false;  // a sync (kFsync) is not made and counts as done: tests that need no disk
};
using FaultInjector = std::function<Fault(Op)>;
void SetFaultInjector(FaultInjector injector);
// While the injector is asked about opening a file for reading
// (ReadFile::Open), the path being opened; "" otherwise.
std::string_view FaultPath();

// The recording seam (tests of what a power loss can leave): every change the
// service makes to files and folders, cleaning up included, in the order the
// system made them, once each has succeeded.
struct Change {
  enum class Kind {
    kCreate,      // a new file at `path`, open as `file`
    kOpen,        // an existing file at `path` open for writing as `file`
    kWrite,       // `bytes` written to the end of `file`
    kSync,        // `file`'s content made durable
    kRename,      // `path` renamed to `target`, replacing it
    kLink,        // `target` made a second name of `path`
    kUnlink,      // `path` removed
    kSyncFolder,  // the entries of folder `path` made durable
  };
  Kind kind;
  std::string path;  // native
  std::string target;
  const void* file = nullptr;
  std::string_view bytes;
};
using ChangeRecorder = std::function<void(const Change&)>;
// While a recorder is installed, every change is made and recorded under one
// lock, so that the record's order is the order the changes were made in.
void SetChangeRecorder(ChangeRecorder recorder);

// A name part unique to this call among every process and host sharing a
// folder: process id, a sequence number and a random salt.
std::string UniqueId();

struct FileInfo {
  std::string name;         // last component, as the file system stores it
  std::time_t created = 0;  // birth time where the file system records it, else modification time
  std::time_t modified = 0;
  std::int64_t size = 0;
  std::int64_t modified_ns = 0;  // the modification time, to the resolution the system keeps
  bool read_only = false;        // no write permission (the read-only attribute on Windows)
};

// Attributes of a regular file (a final symbolic link is not followed, so it
// counts as kNotRegular).
Status StatFile(const Path& path, FileInfo& info);
bool FileExists(const Path& path);
// Folders are looked up following links: a workspace may well be reached
// through one.
bool FolderExists(const Path& path);

// What tells one file from another, whatever name it is reached by: device
// and file number (volume serial and file index on Windows).
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t file = 0;
  bool operator==(const FileId&) const = default;
};
struct FileIdHash {
  std::size_t operator()(const FileId& id) const {
    return std::hash<std::uint64_t>()(id.file * 0x9E3779B97F4A7C15ull ^ id.device);
  }
};
// The identity of the regular file at path (a final symbolic link is not
// followed), and how many names it has.
Status GetFileId(const Path& path, FileId& id, std::uint32_t* links = nullptr);
// The identity of a folder (reached following links, as folders are).
Status GetFolderId(const Path& path, FileId& id);

// The names in a folder, "." and ".." left out, in no particular order.
Status ListFolder(const Path& folder, std::vector<std::string>& names);

// A regular file open for positioned reads; closed with the object.
class ReadFile {
 public:
  ReadFile();
  ~ReadFile();
  ReadFile(ReadFile&& other) noexcept;
  ReadFile& operator=(ReadFile&& other) noexcept;

  // How the file will be read: whole, or a few scattered blocks (then no
  // read-ahead pulls in data nobody looks at).
  enum class Access { kWhole, kScattered };
  // Opens path for reading: kNotRegular for anything but a regular file.
  Status Open(const Path& path, Access access = Access::kWhole);
  bool is_open() const { return handle_ != nullptr; }
  std::int64_t size() const { return size_; }
  // Reads n bytes at offset, however many calls that takes; a file that ends
  // sooner (it shrank meanwhile) is an I/O error.
  Status ReadAt(std::int64_t offset, void* buffer, std::size_t n) const;

 private:
  os::OwnedHandle handle_;
  std::int64_t size_ = 0;
};

// The whole content of a regular file of at most max_size bytes (kTooLarge
// otherwise, without reading it).
Status ReadWholeFile(const Path& path, std::int64_t max_size, std::string& bytes);

// Deletes a regular file without force: a read-only file (no write permission
// bit, also for root) is refused.
Status RemoveFile(const Path& path);

// Replaces the file at path with bytes so that a crash or a failed write never
// leaves it truncated: temporary file in the same folder, sync, rename, sync
// of the folder. On failure the old file is untouched and no temporary file
// remains. A read-only target is refused as RemoveFile does; a
// symbolic link is replaced by a regular file, never written through. The new
// file keeps the mode of the regular file it replaces. Once the new file is
// in place the answer is ok, or kNotSynced when the folder could not be
// synced.
Status AtomicWriteFile(const Path& path, std::string_view bytes);

// AtomicWriteFile for content made piece by piece, so that a large file never
// stands in memory whole: the pieces go to a temporary file in the same
// folder, and Commit puts it in place (sync, rename, sync of the folder). A
// writer that is not committed leaves the old file untouched and no temporary
// behind; one whose Write failed has dropped what it wrote.
class AtomicFileWriter {
 public:
  // Refuses a read-only or non-regular target as AtomicWriteFile does.
  static Result<AtomicFileWriter> Open(const Path& path);
  ~AtomicFileWriter();
  AtomicFileWriter(AtomicFileWriter&& other) noexcept = default;  // the moved-from one owns nothing
  AtomicFileWriter& operator=(AtomicFileWriter&&) = delete;
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
  Status Write(std::string_view bytes);
  // The new file in place: ok, or kNotSynced; any other status, and the old
  // file is as it was.
  Status Commit();
  // Drops what was written; the old file stays as it was.
  void Discard();

 private:
  explicit AtomicFileWriter(const Path& path) : path_(path) {}
  Path path_;
  std::string temp_;  // native
  os::OwnedHandle handle_;
  std::optional<unsigned> keep_mode_;  // the mode of the file replaced
};

// Writes a new file at path, whole or not at all, and never over an existing
// one: kExists when the name is taken, also by another process racing for it;
// kNotSynced when it was made but its folder could not be synced.
Status CreateExclusive(const Path& path, std::string_view bytes);

// Renames path to target, never replacing target (kExists when it is taken).
Status MoveNoReplace(const Path& path, const Path& target);

// A file that stays open and locked for as long as its owner keeps it: the
// system releases the lock when the owning process dies, so that another
// process (or thread) can tell a live owner from a dead one. Journals of
// unfinished work are kept in such files. Appends go to the end and are on
// disk when Append returns.
class LockedFile {
 public:
  LockedFile() = default;
  ~LockedFile();
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

  // Makes a new file holding `first` (kExists when the name is taken): it is
  // written, synced and locked under a temporary name first, so that nobody
  // ever sees it under its name unlocked or incomplete. kNotSynced: it stands
  // under its name, but the folder could not be synced.
  Status Create(const Path& path, std::string_view first);
  // Opens an existing regular file and takes its lock without waiting:
  // kLocked while its owner, in this process or another, still holds it.
  Status TryTake(const Path& path);
  bool is_open() const { return handle_ != nullptr; }
  const Path& path() const { return path_; }
  // The open file's identity.
  const FileId& id() const { return id_; }

  Status Append(std::string_view bytes);
  // The whole content, if it holds at most max_size bytes (kTooLarge
  // otherwise, without reading it).
  Status ReadAll(std::int64_t max_size, std::string& bytes) const;
  // Makes what it holds durable.
  Status Sync();
  // Deletes the file, then lets it go.
  Status Remove();
  void Close();

 private:
  os::OwnedHandle handle_;
  Path path_;
  FileId id_;
};

// Makes deletions and renames in a folder survive a power loss.
Status SyncFolder(const Path& folder);
// Whether the system needs that (POSIX). Where not (Windows), the file system
// keeps its changes of names in the order made, and a rename is written
// through with all before it.
bool FoldersAreSynced();

// True for the name of a temporary file that the service makes.
bool IsTemporaryName(std::string_view name);

// How long a folder lock is waited for unless a caller says otherwise: 20 s;
// tests shorten it.
void SetDefaultLockTimeout(int timeout_ms);

// Exclusive lock on a folder, between threads, processes and hosts sharing the
// folder alike. Take waits at most `timeout_ms` (the default when negative),
// then answers kLockTimeout (with the error ETIMEDOUT); a thread that holds
// the folder's lock already is answered so at once, as it would wait for
// itself.
class FolderLock {
 public:
  static Result<FolderLock> Take(const Path& folder, int timeout_ms = -1);
  ~FolderLock();
  FolderLock(FolderLock&& other) noexcept;
  FolderLock& operator=(FolderLock&&) = delete;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  // The folder's identity.
  const FileId& id() const { return id_; }

 private:
  FolderLock(os::OwnedHandle handle, const FileId& id);
  os::OwnedHandle handle_;  // closing it releases the lock
  FileId id_;
};

// Whether the calling thread holds a folder lock (a host callback made now
// must wait, or it could wait for that lock itself).
bool HoldingFolderLock();

}  // namespace picmeta::platform

#endif
