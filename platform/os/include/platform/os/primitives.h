#ifndef PICMETA_PLATFORM_OS_PRIMITIVES_H
#define PICMETA_PLATFORM_OS_PRIMITIVES_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/os/fs.h"

// What each operating system supplies to the file service: a small table of
// calls on native paths and open handles, each answering with the system's
// own error code (its native category). They do one thing each and decide
// nothing: the policy built on them (temporary names, the sweep of abandoned
// temporaries, writing all, atomic replacement, exclusive creation, the
// read-only refusal, retries, waiting for locks, the fault seam) is written
// once, in fs.cpp. One source per platform implements the table.
namespace picmeta::platform::os {

// What is under a name or behind a handle.
struct Node {
  enum class Kind { kRegular, kFolder, kLink, kOther };
  Kind kind = Kind::kOther;
  bool read_only = false;  // no write permission bit (the read-only attribute on Windows)
  unsigned mode = 0;       // the permission bits, where the system has them
  std::int64_t size = 0;
  std::time_t created = 0;  // birth time where the system records it, else modification time
  std::time_t modified = 0;
  std::int64_t modified_ns = 0;
  FileId id;                // filled by StatId and Stat of a handle
  std::uint32_t links = 1;  // names the file has (filled with id)
};

// ---- Names ----
// The separator the system's paths are spelt with.
extern const char kSeparator;
// Whether a character separates names in the system's paths.
bool IsSeparator(char c);
// The root at the start of a path: its native spelling in `root`, and how
// many characters it took ("" and 0 for a relative path). `text_form`: the
// library's text form, where "\" separates as "/" does.
std::size_t SplitRoot(std::string_view path, bool text_form, std::string& root);
// Whether a root names a folder on its own (POSIX "/", Windows "C:\" or
// "\\server\share\"; not "C:" nor "\").
bool RootIsAbsolute(const std::string& root);
// The absolute spelling of a native path, from the current folder.
std::error_code FullPath(const std::string& native, std::string& full);
// What is under a name: a final link is not followed unless `follow`; a link
// to a folder counts as a folder when followed.
std::error_code Stat(const std::string& native, bool follow, Node& node);
// The name the file system stores for the last component of a path to an
// existing file (on Windows the letter case and trailing dots or blanks of
// the caller's spelling may differ); the spelling given where they cannot.
std::error_code StoredName(const std::string& native, std::string& name);
// Stat with the file's identity.
std::error_code StatId(const std::string& native, bool follow, Node& node);
// The names in a folder, "." and ".." included or not.
std::error_code List(const std::string& folder, std::vector<std::string>& names);
std::error_code Unlink(const std::string& native);
// Replaces `to` (a file that another program holds open is waited for a
// while, where the system refuses to replace it meanwhile).
std::error_code Rename(const std::string& from, const std::string& to);
// Fails with file_exists when `to` is taken; with invalid_argument or
// function_not_supported where the file system cannot tell (then Link is
// the way).
std::error_code RenameNoReplace(const std::string& from, const std::string& to);
std::error_code Link(const std::string& from, const std::string& to);
// Whether renames and deletions in a folder need the folder synced to survive
// a power loss (they are written through where not).
extern const bool kSyncsFolders;
std::error_code SyncFolder(const std::string& native);

// ---- Open files ----
// Opens an existing file for reading without following a final link and
// without blocking (a FIFO or device under the name must not stop the call);
// `scattered`: a few blocks will be read, so no read-ahead.
std::error_code OpenRead(const std::string& native, bool scattered, OwnedHandle& handle);
// Creates a new file that no other name or process has (file_exists when the
// name is taken), never through a link. `shared`: others may open it too
// (journals); otherwise it is a private temporary.
std::error_code CreateNew(const std::string& native, bool shared, OwnedHandle& handle);
// Opens an existing file for reading and writing, without following a link.
std::error_code OpenReadWrite(const std::string& native, OwnedHandle& handle);
std::error_code Stat(Handle& handle, Node& node);
// One read at an offset, one write at the current position: each may move
// fewer bytes than asked (got 0 at the end of the file).
std::error_code ReadAt(Handle& handle, std::int64_t offset, void* buffer, std::size_t n,
                       std::size_t& got);
std::error_code Write(Handle& handle, const void* bytes, std::size_t n, std::size_t& wrote);
std::error_code SeekEnd(Handle& handle);
std::error_code Flush(Handle& handle);
// Gives a new file the permission bits of the one it replaces, where files
// have them.
std::error_code SetMode(Handle& handle, unsigned mode);
// Closes, reporting what the close said.
std::error_code Close(OwnedHandle& handle);
// An exclusive lock on an open file, not waited for: `busy` when another
// handle, in this process or another, holds it. The system drops it when the
// handle is closed or its process ends.
std::error_code TryLock(Handle& handle, bool& busy);
// A folder's lock between threads, processes and hosts sharing the folder:
// opened, then tried as TryLock. Closing the handle releases it.
std::error_code OpenFolderLock(const std::string& native, OwnedHandle& handle, FileId& id);
std::error_code TryLockFolder(Handle& handle, bool& busy);

// ---- The process ----
unsigned long ProcessId();

}  // namespace picmeta::platform::os

#endif  // PICMETA_PLATFORM_OS_PRIMITIVES_H
