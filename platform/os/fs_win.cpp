// The file service on Windows. Every call uses the wide-character functions,
// so that folder and picture names work whatever the ANSI code page is.
// Errors are reported with the errno numbers the POSIX side uses, so that
// callers and messages are the same on both.
#include <windows.h>
// The service's own DeleteFile, not the Win32 macro.
#undef DeleteFile

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <optional>
#include <random>
#include <thread>
#include <utility>

#include "platform/os/fs.h"
#include "platform/os/text.h"
#include "platform/os/utf16.h"

namespace picmeta::platform {
namespace {

using detail::Injected;

Status FromErrno(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return {FileStatus::kNotFound, err};
    case EISDIR:
      return {FileStatus::kNotRegular, err};
    case EEXIST:
      return {FileStatus::kExists, err};
    default:
      return {FileStatus::kIoError, err};
  }
}

int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EBUSY;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    default:
      return EIO;
  }
}

Status LastError() { return FromErrno(ErrnoOf(::GetLastError())); }

// Asks the seam first: true (and the fault's errno in `status`) when op must fail.
bool Faulted(Op op, Status& status) {
  if (const Fault f = Injected(op); f.error != 0) {
    status = FromErrno(f.error);
    return true;
  }
  return false;
}

std::wstring Wide(std::string_view path) { return Utf16(path); }
std::string Narrow(const std::wstring& text) { return Utf8(text); }

std::wstring WidePath(std::string_view path) { return Wide(NativePath(path)); }

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : h(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  void reset() {
    if (h != INVALID_HANDLE_VALUE && h != nullptr) ::CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
  bool ok() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  HANDLE release() { return std::exchange(h, INVALID_HANDLE_VALUE); }
};

std::time_t ToTime(const FILETIME& ft) {
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<std::time_t>(ticks / 10000000ull) - static_cast<std::time_t>(11644473600ll);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Splits a native path into folder ("." for none) and last component.
std::pair<std::string, std::string> Split(const std::string& native) {
  const auto sep = native.find_last_of("\\/");
  if (sep == std::string::npos) return {".", native};
  return {sep == 0 || (sep == 2 && native[1] == ':') ? native.substr(0, sep + 1)
                                                     : native.substr(0, sep),
          native.substr(sep + 1)};
}

std::string JoinNative(const std::string& folder, const std::string& name) {
  if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) return folder + name;
  return folder + "\\" + name;
}

std::string TemporaryName() { return std::string(detail::kTempPrefix) + UniqueId(); }

// Removes temporaries that were clearly abandoned (by a writer that was
// terminated): one still being written is never that old.
void SweepAbandoned(const std::string& folder) {
  const std::time_t now = std::time(nullptr);
  if (!detail::SweepDue(folder, now)) return;
  WIN32_FIND_DATAW found{};
  const std::wstring pattern = Wide(JoinNative(folder, std::string(detail::kTempPrefix) + "*"));
  HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                   nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
      continue;
    const std::string name = Narrow(found.cFileName);
    if (!IsTemporaryName(name)) continue;
    if (now - ToTime(found.ftLastWriteTime) > detail::kAbandonedAfterSeconds)
      ::DeleteFileW(Wide(JoinNative(folder, name)).c_str());
  } while (::FindNextFileW(find, &found));
  ::FindClose(find);
}

Status WriteAll(HANDLE h, std::string_view bytes) {
  while (!bytes.empty()) {
    const Fault f = Injected(Op::kWrite);
    if (f.error != 0) return FromErrno(f.error);
    std::size_t want = f.short_io ? std::max<std::size_t>(1, bytes.size() / 2) : bytes.size();
    want = std::min<std::size_t>(want, 1u << 30);
    DWORD written = 0;
    if (!::WriteFile(h, bytes.data(), static_cast<DWORD>(want), &written, nullptr))
      return LastError();
    bytes.remove_prefix(written);
  }
  return {};
}

// A new file, opened for writing, that fails when the name is taken.
HANDLE CreateNew(const std::string& native) {
  return ::CreateFileW(Wide(native).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// What is under a name, without following a final link: attributes, or
// nullopt when nothing is.
std::optional<WIN32_FILE_ATTRIBUTE_DATA> Attributes(const std::string& native, Status& status) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (Faulted(Op::kStat, status)) return std::nullopt;
  if (!::GetFileAttributesExW(Wide(native).c_str(), GetFileExInfoStandard, &data)) {
    status = LastError();
    return std::nullopt;
  }
  return data;
}

bool IsRegular(DWORD attributes) {
  return !(attributes &
           (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

// Moves a finished temporary over the target. A target held open by another
// process (the host reading it, a virus scanner) is retried for about two
// seconds before the step fails.
Status MoveInPlace(const std::string& temp, const std::string& target, bool replace) {
  Status s;
  if (Faulted(Op::kRename, s)) return s;
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  const std::wstring from = Wide(temp), to = Wide(target);
  auto pause = std::chrono::milliseconds(10);
  std::chrono::milliseconds waited{0};
  for (;;) {
    if (::MoveFileExW(from.c_str(), to.c_str(), flags)) return {};
    const DWORD error = ::GetLastError();
    const bool busy = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
                      (replace && error == ERROR_ACCESS_DENIED);
    if (!busy || waited >= std::chrono::milliseconds(2000)) return FromErrno(ErrnoOf(error));
    std::this_thread::sleep_for(pause);
    waited += pause;
    pause = std::min(pause * 2, std::chrono::milliseconds(250));
  }
}

}  // namespace

std::string UniqueId() {
  static std::atomic<unsigned long> sequence{0};
  static const unsigned long salt = [] {
    std::random_device rd;
    return (static_cast<unsigned long>(rd()) << 16) ^ rd();
  }();
  char buf[64];
  std::snprintf(buf, sizeof buf, "%lu-%lu-%08lx",
                static_cast<unsigned long>(::GetCurrentProcessId()), sequence.fetch_add(1),
                salt & 0xFFFFFFFFul);
  return buf;
}

std::string NativePath(std::string_view path) {
  std::string out(path);
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

Status StatFile(std::string_view path, FileInfo& info) {
  Status s;
  const auto data = Attributes(NativePath(path), s);
  if (!data) return s;
  if (!IsRegular(data->dwFileAttributes)) return {FileStatus::kNotRegular, 0};
  info.name = GetFileName(path);
  info.modified = ToTime(data->ftLastWriteTime);
  info.modified_ns = static_cast<std::int64_t>(
      ((static_cast<std::uint64_t>(data->ftLastWriteTime.dwHighDateTime) << 32) |
       data->ftLastWriteTime.dwLowDateTime) *
      100);
  info.created = ToTime(data->ftCreationTime);
  info.size = (static_cast<std::int64_t>(data->nFileSizeHigh) << 32) | data->nFileSizeLow;
  info.read_only = (data->dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  return {};
}

bool FolderExists(std::string_view path) {
  Status s;
  const auto data = Attributes(NativePath(path), s);
  return data && (data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ParentFolderPath(std::string_view path) {
  const std::wstring wide = WidePath(path);
  const DWORD n = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) throw FsError("cannot resolve " + NativePath(path), LastError());
  std::wstring full(n, L'\0');
  const DWORD got = ::GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (got == 0 || got >= n) throw FsError("cannot resolve " + NativePath(path), LastError());
  full.resize(got);
  std::string absolute = Narrow(full);
  while (absolute.size() > 3 && absolute.back() == '\\') absolute.pop_back();
  const auto sep = absolute.find_last_of('\\');
  if (sep == std::string::npos) return absolute;
  std::string parent = absolute.substr(0, sep);
  if (parent.size() == 2 && parent[1] == ':') parent += "\\";  // a drive's root keeps its "\"
  return parent;
}

bool SameFile(std::string_view a, std::string_view b) {
  auto identity = [](std::string_view p, BY_HANDLE_FILE_INFORMATION& info) {
    Handle h(::CreateFileW(WidePath(p).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return h.ok() && ::GetFileInformationByHandle(h.h, &info);
  };
  BY_HANDLE_FILE_INFORMATION ia{}, ib{};
  return identity(a, ia) && identity(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

// ---- ReadFile ----------------------------------------------------------------

void ReadFile::Close() {
  if (handle_ >= 0) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

Status ReadFile::Open(std::string_view path, Access access) {
  Close();
  Status s;
  {
    const detail::FaultPathScope scope(path);
    if (Faulted(Op::kOpen, s)) return s;
  }
  // Full sharing: the host and other programs may go on reading, writing,
  // renaming or deleting the picture while it is read.
  const DWORD hint =
      access == Access::kScattered ? FILE_FLAG_RANDOM_ACCESS : FILE_FLAG_SEQUENTIAL_SCAN;
  const std::wstring wide = WidePath(path);
  Handle h(::CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | hint, nullptr));
  if (!h.ok()) {
    const DWORD error = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !IsRegular(attributes))
      return {FileStatus::kNotRegular, 0};
    return FromErrno(ErrnoOf(error));
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(h.h) != FILE_TYPE_DISK) return {FileStatus::kNotRegular, 0};
  if (!::GetFileInformationByHandle(h.h, &info)) return LastError();
  if (!IsRegular(info.dwFileAttributes)) return {FileStatus::kNotRegular, 0};
  size_ = (static_cast<std::int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  handle_ = reinterpret_cast<std::intptr_t>(h.release());
  return {};
}

Status ReadFile::ReadAt(std::int64_t offset, void* buffer, std::size_t n) const {
  if (handle_ < 0) return {FileStatus::kIoError, EBADF};
  auto* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < n) {
    const Fault f = Injected(Op::kRead);
    if (f.error != 0) return FromErrno(f.error);
    std::size_t want = f.short_io ? std::max<std::size_t>(1, (n - done) / 2) : n - done;
    want = std::min<std::size_t>(want, 1u << 30);
    const auto at = static_cast<std::uint64_t>(offset) + done;
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    if (!::ReadFile(reinterpret_cast<HANDLE>(handle_), out + done, static_cast<DWORD>(want), &got,
                    &where)) {
      if (::GetLastError() == ERROR_HANDLE_EOF) return {FileStatus::kIoError, 0};
      return LastError();
    }
    if (got == 0) return {FileStatus::kIoError, 0};  // the file ended sooner: it shrank
    done += got;
  }
  return {};
}

// ---- Changing files ------------------------------------------------------------

void DeleteFile(std::string_view path) {
  const std::string native = NativePath(path);
  Status s;
  const auto data = Attributes(native, s);
  if (!data) Check(s, "cannot delete", path);
  if (!IsRegular(data->dwFileAttributes))
    Check({FileStatus::kNotRegular, 0}, "cannot delete", path);
  if (data->dwFileAttributes & FILE_ATTRIBUTE_READONLY)
    Check({FileStatus::kReadOnly, EACCES}, "cannot delete", path);
  if (Faulted(Op::kUnlink, s)) Check(s, "cannot delete", path);
  if (!::DeleteFileW(Wide(native).c_str())) Check(LastError(), "cannot delete", path);
}

AtomicFileWriter::AtomicFileWriter(std::string_view path) : path_(path) {
  const std::string native = NativePath(path);
  const auto [folder, name] = Split(native);
  Status s;
  if (const auto data = Attributes(native, s)) {
    const bool link = data->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
    if (!link && !IsRegular(data->dwFileAttributes))
      Check({FileStatus::kNotRegular, 0}, "cannot replace", path);
    if (!link && (data->dwFileAttributes & FILE_ATTRIBUTE_READONLY))
      Check({FileStatus::kReadOnly, EACCES}, "cannot replace", path);
  } else if (s.code != FileStatus::kNotFound) {
    Check(s, "cannot replace", path);
  }
  SweepAbandoned(folder);
  temp_ = JoinNative(folder, TemporaryName());
  if (Faulted(Op::kOpen, s)) Check(s, "cannot write", path);
  Handle h(CreateNew(temp_));
  if (!h.ok()) Check(LastError(), "cannot write", path);
  handle_ = reinterpret_cast<std::intptr_t>(h.release());
}

AtomicFileWriter::~AtomicFileWriter() { Discard(); }

void AtomicFileWriter::Discard() {
  if (handle_ < 0) return;
  ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
  ::DeleteFileW(Wide(temp_).c_str());  // not through the seam: cleaning up must not be made to fail
}

void AtomicFileWriter::Write(std::string_view bytes) {
  if (handle_ < 0)
    throw FsError("cannot write " + NativePath(path_) + ": not open",
                  {FileStatus::kIoError, EBADF});
  if (const Status s = WriteAll(reinterpret_cast<HANDLE>(handle_), bytes); !s.ok()) {
    Discard();
    Check(s, "cannot write", path_);
  }
}

void AtomicFileWriter::Commit() {
  if (handle_ < 0)
    throw FsError("cannot write " + NativePath(path_) + ": not open",
                  {FileStatus::kIoError, EBADF});
  const HANDLE h = reinterpret_cast<HANDLE>(handle_);
  Status s;
  if (!Faulted(Op::kFsync, s) && !::FlushFileBuffers(h)) s = LastError();
  if (!s.ok()) {
    Discard();
    Check(s, "cannot write", path_);
  }
  handle_ = -1;
  if (!::CloseHandle(h)) {
    s = LastError();
    ::DeleteFileW(Wide(temp_).c_str());
    Check(s, "cannot write", path_);
  }
  s = MoveInPlace(temp_, NativePath(path_), true);
  if (!s.ok()) {
    ::DeleteFileW(Wide(temp_).c_str());
    Check(s, "cannot replace", path_);
  }
  SyncFolder(Split(NativePath(path_)).first);
}

Status CreateExclusive(std::string_view path, std::string_view bytes) {
  const std::string native = NativePath(path);
  const std::string folder = Split(native).first;
  SweepAbandoned(folder);
  const std::string temp = JoinNative(folder, TemporaryName());
  Status s;
  if (Faulted(Op::kOpen, s)) return s;
  Handle h(CreateNew(temp));
  if (!h.ok()) return LastError();
  s = WriteAll(h.h, bytes);
  if (s.ok() && !Faulted(Op::kFsync, s) && !::FlushFileBuffers(h.h)) s = LastError();
  h.reset();
  if (s.ok()) s = MoveInPlace(temp, native, false);
  if (!s.ok()) {
    ::DeleteFileW(Wide(temp).c_str());
    return s;
  }
  SyncFolder(folder);
  return s;
}

Status GetFileId(std::string_view path, FileId& id) {
  Status s;
  if (Faulted(Op::kStat, s)) return s;
  Handle h(::CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                         nullptr));
  if (!h.ok()) return LastError();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h.h, &info)) return LastError();
  if (!IsRegular(info.dwFileAttributes)) return {FileStatus::kNotRegular, 0};
  id.device = info.dwVolumeSerialNumber;
  id.file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return {};
}

Status ListFolder(std::string_view folder, std::vector<std::string>& names) {
  names.clear();
  Status s;
  if (Faulted(Op::kList, s)) return s;
  const std::string native = NativePath(folder);
  WIN32_FIND_DATAW found{};
  const std::wstring pattern = Wide(JoinNative(native.empty() ? "." : native, "*"));
  HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                   nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? Status{} : FromErrno(ErrnoOf(error));
  }
  do {
    const std::string name = Narrow(found.cFileName);
    if (name != "." && name != "..") names.push_back(name);
  } while (::FindNextFileW(find, &found));
  const DWORD error = ::GetLastError();
  ::FindClose(find);
  return error == ERROR_NO_MORE_FILES ? Status{} : FromErrno(ErrnoOf(error));
}

void RenameNoReplace(std::string_view path, std::string_view target) {
  Check(MoveInPlace(NativePath(path), NativePath(target), false), "cannot rename", path);
}

// A rename made with MOVEFILE_WRITE_THROUGH is on disk when it returns; a
// folder cannot be flushed on its own. The seam is still asked, as the POSIX
// side opens and syncs the folder, so that a fault plan counts the same calls.
void SyncFolder(std::string_view) {
  Status ignored;
  if (!Faulted(Op::kOpen, ignored)) Faulted(Op::kFsync, ignored);
}

// ---- LockedFile ----------------------------------------------------------------

namespace {
// The lock covers one byte far past any content: Windows locks are
// mandatory, and this one must not keep others from reading the file.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

bool LockOne(HANDLE h) {
  OVERLAPPED where{};
  where.OffsetHigh = kLockOffsetHigh;
  return ::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where) != 0;
}
}  // namespace

LockedFile::~LockedFile() { Close(); }

void LockedFile::Close() {
  if (handle_ >= 0) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));  // the lock goes with it
  handle_ = -1;
}

// A byte-range lock on the open handle: another handle, in this process or
// another, is refused while it stands, and the system drops it when the
// owning process ends.
Status LockedFile::Create(std::string_view path) {
  Close();
  path_ = std::string(path);
  Status s;
  if (Faulted(Op::kOpen, s)) return s;
  Handle h(::CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll,
                         nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.ok()) return LastError();
  if (!LockOne(h.h)) {
    s = LastError();
    h.reset();
    ::DeleteFileW(WidePath(path).c_str());
    return s;
  }
  handle_ = reinterpret_cast<std::intptr_t>(h.release());
  return {};
}

Status LockedFile::TryTake(std::string_view path) {
  Close();
  path_ = std::string(path);
  Status s;
  if (Faulted(Op::kOpen, s)) return s;
  Handle h(::CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h.ok()) return LastError();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h.h, &info)) return LastError();
  if (!IsRegular(info.dwFileAttributes)) return {FileStatus::kNotRegular, 0};
  if (Faulted(Op::kLock, s)) return s;
  if (!LockOne(h.h)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING)
      return {FileStatus::kLocked, EBUSY};
    return FromErrno(ErrnoOf(error));
  }
  handle_ = reinterpret_cast<std::intptr_t>(h.release());
  return {};
}

Status LockedFile::Append(std::string_view bytes) {
  if (handle_ < 0) return {FileStatus::kIoError, EBADF};
  const HANDLE h = reinterpret_cast<HANDLE>(handle_);
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(h, zero, nullptr, FILE_END)) return LastError();
  if (Status s = WriteAll(h, bytes); !s.ok()) return s;
  Status s;
  if (!Faulted(Op::kFsync, s) && !::FlushFileBuffers(h)) s = LastError();
  return s;
}

Status LockedFile::ReadAll(std::string& bytes) const {
  bytes.clear();
  if (handle_ < 0) return {FileStatus::kIoError, EBADF};
  const HANDLE h = reinterpret_cast<HANDLE>(handle_);
  char buffer[8192];
  for (std::uint64_t at = 0;;) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    if (!::ReadFile(h, buffer, sizeof buffer, &got, &where)) {
      if (::GetLastError() == ERROR_HANDLE_EOF) return {};
      return LastError();
    }
    if (got == 0) return {};
    bytes.append(buffer, got);
    at += got;
  }
}

Status LockedFile::RenameTo(std::string_view target) {
  if (handle_ < 0) return {FileStatus::kIoError, EBADF};
  // Every handle of the file shares delete, so the open file can be renamed.
  if (Status s = MoveInPlace(NativePath(path_), NativePath(target), false); !s.ok()) return s;
  path_ = std::string(target);
  return {};
}

Status LockedFile::Remove() {
  if (handle_ < 0) return {FileStatus::kIoError, EBADF};
  Status s;
  if (!Faulted(Op::kUnlink, s) && !::DeleteFileW(WidePath(path_).c_str())) s = LastError();
  Close();  // the name goes once the last handle does
  return s;
}

// ---- FolderLock ----------------------------------------------------------------

namespace {
// The folders (by a hash of the lock name) this thread holds, innermost
// last: a mutex would let its owner in again, where the lock must refuse a
// second holder as it does on POSIX. Plain data: a thread-local with a
// destructor is not safe with the static MinGW runtime.
constexpr int kMaxHeld = 64;
thread_local std::uint64_t t_held[kMaxHeld];
thread_local int t_held_count = 0;

std::uint64_t NameHash(const wchar_t* name) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (; *name; ++name) h = (h ^ static_cast<std::uint16_t>(*name)) * 0x100000001b3ull;
  return h;
}
}  // namespace

bool HoldingFolderLock() { return t_held_count > 0; }

// A named mutex per folder, named by the folder's file identity, so that every
// spelling of its path ("/" or "\", letter case, a relative path) takes the
// same lock and nothing is left in the folder. The system releases it when a
// process ends without releasing it (the next owner sees it abandoned, which
// is fine: every file is replaced whole).
FolderLock::FolderLock(std::string_view folder, int timeout_ms) {
  Status s;
  if (Faulted(Op::kOpen, s)) Check(s, "cannot open folder", folder);
  const std::string native = NativePath(folder);
  Handle dir(::CreateFileW(Wide(native.empty() ? "." : native).c_str(), 0, kShareAll, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!dir.ok()) Check(LastError(), "cannot open folder", folder);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(dir.h, &info)) Check(LastError(), "cannot open folder", folder);
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    Check({FileStatus::kNotFound, ENOTDIR}, "cannot open folder", folder);
  wchar_t name[96];
  std::swprintf(name, 96, L"Local\\picmeta-folder-%08lx-%08lx%08lx",
                static_cast<unsigned long>(info.dwVolumeSerialNumber),
                static_cast<unsigned long>(info.nFileIndexHigh),
                static_cast<unsigned long>(info.nFileIndexLow));
  Handle mutex(::CreateMutexW(nullptr, FALSE, name));
  if (!mutex.ok()) Check(LastError(), "cannot lock", folder);
  if (timeout_ms < 0) timeout_ms = detail::DefaultLockTimeout();
  if (Faulted(Op::kLock, s)) Check(s, "cannot lock", folder);
  const std::uint64_t id = NameHash(name);
  // Held by this very thread: it cannot be released while this one waits.
  if (std::find(t_held, t_held + t_held_count, id) != t_held + t_held_count ||
      t_held_count == kMaxHeld) {
    ::Sleep(static_cast<DWORD>(timeout_ms));
    Check({FileStatus::kIoError, ETIMEDOUT}, "timed out locking", folder);
  }
  const DWORD waited = ::WaitForSingleObject(mutex.h, static_cast<DWORD>(timeout_ms));
  if (waited == WAIT_TIMEOUT) Check({FileStatus::kIoError, ETIMEDOUT}, "timed out locking", folder);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED)
    Check(LastError(), "cannot lock", folder);
  handle_ = reinterpret_cast<std::intptr_t>(mutex.release());
  t_held[t_held_count++] = id;
}

FolderLock::~FolderLock() {
  if (handle_ < 0) return;
  ::ReleaseMutex(reinterpret_cast<HANDLE>(handle_));
  ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  if (t_held_count > 0) --t_held_count;  // locks are scoped: the last taken goes first
}

}  // namespace picmeta::platform
