// The file service's primitives on Windows. Every call uses the wide-character
// functions, so that folder and picture names work whatever the ANSI code
// page is; errors are Windows' own codes, in a category that says what they
// mean in portable terms.
#include <windows.h>
// The service's own DeleteFile, not the Win32 macro.
#undef DeleteFile

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <memory>
#include <thread>

#include "platform/os/fs.h"
#include "platform/os/primitives.h"
#include "platform/os/utf16.h"

namespace picmeta::platform {

namespace os {

const char kSeparator = '\\';

// A file handle (a folder's lock is a handle of its lock file).
struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
};

void HandleClose::operator()(Handle* handle) const noexcept {
  if (handle->h != INVALID_HANDLE_VALUE && handle->h != nullptr) ::CloseHandle(handle->h);
  std::default_delete<Handle>()(handle);
}

namespace {

// Windows' error codes, with the portable conditions the service tells apart.
class Win32Category : public std::error_category {
 public:
  const char* name() const noexcept override { return "win32"; }
  std::string message(int code) const override {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out =
        n && text ? Utf8(std::wstring_view(text, n)) : "error " + std::to_string(code);
    if (text) ::LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
      out.pop_back();
    return out;
  }
  std::error_condition default_error_condition(int code) const noexcept override {
    using E = std::errc;
    // clang-format off
    static constexpr std::pair<DWORD, E> kConditions[] = {
        {ERROR_FILE_NOT_FOUND, E::no_such_file_or_directory}, {ERROR_PATH_NOT_FOUND, E::no_such_file_or_directory},
        {ERROR_INVALID_NAME, E::no_such_file_or_directory}, {ERROR_BAD_NETPATH, E::no_such_file_or_directory},
        {ERROR_INVALID_DRIVE, E::no_such_file_or_directory}, {ERROR_DIRECTORY, E::not_a_directory},
        {ERROR_FILE_EXISTS, E::file_exists}, {ERROR_ALREADY_EXISTS, E::file_exists},
        {ERROR_ACCESS_DENIED, E::permission_denied}, {ERROR_SHARING_VIOLATION, E::device_or_resource_busy},
        {ERROR_LOCK_VIOLATION, E::device_or_resource_busy}, {ERROR_TOO_MANY_OPEN_FILES, E::too_many_files_open},
        {ERROR_DISK_FULL, E::no_space_on_device}, {ERROR_HANDLE_DISK_FULL, E::no_space_on_device},
        {ERROR_NOT_ENOUGH_MEMORY, E::not_enough_memory}, {ERROR_OUTOFMEMORY, E::not_enough_memory},
        {ERROR_NOT_SUPPORTED, E::function_not_supported}};
    // clang-format on
    for (const auto& [error, condition] : kConditions)
      if (error == static_cast<DWORD>(code)) return condition;
    return {code, *this};
  }
};

const std::error_category& Win32() {
  static const Win32Category category;
  return category;
}

std::error_code Error(DWORD code) { return {static_cast<int>(code), Win32()}; }
std::error_code LastError() { return Error(::GetLastError()); }

// A path as the wide functions take it. Windows without long-path support
// refuses one longer than MAX_PATH unless it is spelt "\\?\" (which takes the
// names as they are): a long path is made whole by the system first (".."
// resolved, every separator a backslash), then given that form.
std::wstring Wide(const std::string& native) {
  std::wstring wide = Utf16(native);
  if (wide.size() < MAX_PATH - 12 || wide.rfind(L"\\\\?\\", 0) == 0) return wide;
  const DWORD n = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return wide;
  std::wstring full(n, L'\0');
  const DWORD got = ::GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (got == 0 || got >= n) return wide;
  full.resize(got);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share
  if (full.size() >= 3 && full[1] == L':') return L"\\\\?\\" + full;
  return wide;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::error_code Own(HANDLE h, OwnedHandle& handle) {
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return LastError();
  handle.reset(std::make_unique<Handle>(Handle{h}).release());
  return {};
}

std::time_t ToTime(const FILETIME& ft) {
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<std::time_t>(ticks / 10000000ull) - static_cast<std::time_t>(11644473600ll);
}

std::int64_t ToNs(const FILETIME& ft) {
  return static_cast<std::int64_t>(
      ((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) * 100);
}

// `follow`: a link to a folder counts as the folder.
Node::Kind KindOf(DWORD attributes, bool follow) {
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && follow) return Node::Kind::kFolder;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return Node::Kind::kLink;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Node::Kind::kFolder;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return Node::Kind::kOther;
  return Node::Kind::kRegular;
}

// What a name's attributes or an open handle's information say (both kinds
// hold these fields).
template <class Info>
void Fill(const Info& info, bool follow, Node& node) {
  node.kind = KindOf(info.dwFileAttributes, follow);
  node.read_only = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  node.size = (static_cast<std::int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  node.created = ToTime(info.ftCreationTime);
  node.modified = ToTime(info.ftLastWriteTime);
  node.modified_ns = ToNs(info.ftLastWriteTime);
}

void Fill(const BY_HANDLE_FILE_INFORMATION& info, bool follow, Node& node) {
  Fill<BY_HANDLE_FILE_INFORMATION>(info, follow, node);
  node.id = {info.dwVolumeSerialNumber,
             (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  node.links = info.nNumberOfLinks;
}

// A file that another program holds open in a way that excludes ours (the
// host writing it, a virus scanner looking at it) is tried again for about
// two seconds.
template <class Try>
std::error_code RetryingBusy(Try attempt, bool access_denied_too) {
  auto pause = std::chrono::milliseconds(10);
  std::chrono::milliseconds waited{0};
  for (;;) {
    const DWORD error = attempt();
    if (error == ERROR_SUCCESS) return {};
    const bool busy = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
                      (access_denied_too && error == ERROR_ACCESS_DENIED);
    if (!busy || waited >= std::chrono::milliseconds(2000)) return Error(error);
    std::this_thread::sleep_for(pause);
    waited += pause;
    pause = std::min(pause * 2, std::chrono::milliseconds(250));
  }
}

std::error_code Move(const std::string& from, const std::string& to, bool replace) {
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  const std::wstring f = Wide(from), t = Wide(to);
  return RetryingBusy(
      [&] { return ::MoveFileExW(f.c_str(), t.c_str(), flags) ? ERROR_SUCCESS : ::GetLastError(); },
      replace);
}

bool LockOne(HANDLE h) {
  // One byte far past any content: Windows locks are mandatory, and this one
  // must not keep others from reading the file.
  OVERLAPPED where{};
  where.OffsetHigh = 0x7FFFFFFF;
  return ::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where) != 0;
}

}  // namespace

// ---- Names ----

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// "C:\", "\\server\share\", "\\?\C:\", "\\?\UNC\server\share\"; "C:" and "\"
// are roots that still need the current folder.
std::size_t SplitRoot(std::string_view path, bool, std::string& root) {
  auto sep = [&](std::size_t i) { return i < path.size() && IsSeparator(path[i]); };
  auto drive = [&](std::size_t i) {
    return i + 1 < path.size() && path[i + 1] == ':' &&
           ((path[i] >= 'A' && path[i] <= 'Z') || (path[i] >= 'a' && path[i] <= 'z'));
  };
  // The end of the name that starts at i.
  auto name_end = [&](std::size_t i) {
    while (i < path.size() && !IsSeparator(path[i])) ++i;
    return i;
  };
  std::size_t used = 0;
  root.clear();
  if (sep(0) && sep(1) && path.size() > 3 && (path[2] == '?' || path[2] == '.') && sep(3)) {
    root = "\\\\?\\";
    used = 4;
    if (path.substr(used, 4) == "UNC\\" || path.substr(used, 4) == "UNC/") {
      const std::size_t server = name_end(used + 4), share = name_end(server + 1);
      root += "UNC\\" + std::string(path.substr(used + 4, server - used - 4)) + "\\" +
              std::string(path.substr(server + 1, share - server - 1)) + "\\";
      return std::min(share + 1, path.size());
    }
    if (drive(used)) {
      root += std::string(path.substr(used, 2)) + "\\";
      return std::min(used + 3, path.size());
    }
    return used;
  }
  if (sep(0) && sep(1)) {
    const std::size_t server = name_end(2), share = name_end(server + 1);
    root = "\\\\" + std::string(path.substr(2, server - 2)) + "\\" +
           std::string(path.substr(server + 1, share - server - 1)) + "\\";
    return std::min(share + 1, path.size());
  }
  if (drive(0)) {
    root = std::string(path.substr(0, 2));
    if (!sep(2)) return 2;
    root += "\\";
    return 3;
  }
  if (sep(0)) {
    root = "\\";
    return 1;
  }
  return 0;
}

bool RootIsAbsolute(const std::string& root) { return root.size() >= 3 && root.back() == '\\'; }

// As the system resolves names: ".." by name, trailing dots and blanks dropped.
std::error_code FullPath(const std::string& native, std::string& full) {
  const std::wstring wide = Utf16(native);
  const DWORD n = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return LastError();
  std::wstring out(n, L'\0');
  const DWORD got = ::GetFullPathNameW(wide.c_str(), n, out.data(), nullptr);
  if (got == 0 || got >= n) return LastError();
  out.resize(got);
  full = Utf8(out);
  return {};
}

std::error_code Stat(const std::string& native, bool follow, Node& node) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(Wide(native).c_str(), GetFileExInfoStandard, &data))
    return LastError();
  Fill(data, follow, node);
  return {};
}

std::error_code StoredName(const std::string& native, std::string& name) {
  // A name holding a wildcard names no file: FindFirstFile would match others.
  const auto sep = native.find_last_of("\\/");
  if (native.find_first_of("*?", sep == std::string::npos ? 0 : sep) != std::string::npos)
    return Error(ERROR_INVALID_NAME);
  WIN32_FIND_DATAW found{};
  const HANDLE find = ::FindFirstFileExW(Wide(native).c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return LastError();
  ::FindClose(find);
  name = Utf8(found.cFileName);
  return {};
}

std::error_code StatId(const std::string& native, bool follow, Node& node) {
  OwnedHandle handle;
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  if (const auto ec = Own(::CreateFileW(Wide(native).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                        nullptr, OPEN_EXISTING, flags, nullptr),
                          handle))
    return ec;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle->h, &info)) return LastError();
  Fill(info, follow, node);
  return {};
}

std::error_code List(const std::string& folder, std::vector<std::string>& names) {
  WIN32_FIND_DATAW found{};
  const std::wstring pattern =
      Wide(folder + (!folder.empty() && IsSeparator(folder.back()) ? "*" : "\\*"));
  HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                   nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? std::error_code() : Error(error);
  }
  do names.push_back(Utf8(found.cFileName));
  while (::FindNextFileW(find, &found));
  const DWORD error = ::GetLastError();
  ::FindClose(find);
  return error == ERROR_NO_MORE_FILES ? std::error_code() : Error(error);
}

std::error_code Unlink(const std::string& native) {
  return ::DeleteFileW(Wide(native).c_str()) ? std::error_code() : LastError();
}

std::error_code Rename(const std::string& from, const std::string& to) {
  return Move(from, to, true);
}

std::error_code RenameNoReplace(const std::string& from, const std::string& to) {
  return Move(from, to, false);
}

std::error_code Link(const std::string& from, const std::string& to) {
  return ::CreateHardLinkW(Wide(to).c_str(), Wide(from).c_str(), nullptr) ? std::error_code()
                                                                          : LastError();
}

// A rename made with MOVEFILE_WRITE_THROUGH is on disk when it returns; a
// folder cannot be flushed on its own.
const bool kSyncsFolders = false;

std::error_code SyncFolder(const std::string&) { return {}; }

// ---- Open files ----

// Full sharing: the host and other programs may go on reading, writing,
// renaming or deleting the picture while it is read.
std::error_code OpenRead(const std::string& native, bool scattered, OwnedHandle& handle) {
  const DWORD hint = scattered ? FILE_FLAG_RANDOM_ACCESS : FILE_FLAG_SEQUENTIAL_SCAN;
  const std::wstring wide = Wide(native);
  HANDLE h = INVALID_HANDLE_VALUE;
  const auto ec = RetryingBusy(
      [&] {
        h = ::CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OPEN_REPARSE_POINT | hint, nullptr);
        return h == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
      },
      false);
  if (ec) {
    // A folder (or device) under the name cannot be opened so: say what it is.
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && KindOf(attributes, false) != Node::Kind::kRegular)
      return std::make_error_code(std::errc::is_a_directory);
    return ec;
  }
  if (const auto owned = Own(h, handle)) return owned;
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    handle.reset();
    return std::make_error_code(std::errc::no_such_device_or_address);
  }
  return {};
}

std::error_code CreateNew(const std::string& native, bool shared, OwnedHandle& handle) {
  return Own(
      ::CreateFileW(Wide(native).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                    shared ? kShareAll : 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr),
      handle);
}

std::error_code OpenReadWrite(const std::string& native, OwnedHandle& handle) {
  return Own(::CreateFileW(Wide(native).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
             handle);
}

std::error_code Stat(Handle& handle, Node& node) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle.h, &info)) return LastError();
  Fill(info, false, node);
  return {};
}

std::error_code ReadAt(Handle& handle, std::int64_t offset, void* buffer, std::size_t n,
                       std::size_t& got) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
  where.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
  DWORD read = 0;
  got = 0;
  if (!::ReadFile(handle.h, buffer, static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30)), &read,
                  &where)) {
    if (::GetLastError() == ERROR_HANDLE_EOF) return {};
    return LastError();
  }
  got = read;
  return {};
}

std::error_code Write(Handle& handle, const void* bytes, std::size_t n, std::size_t& wrote) {
  DWORD written = 0;
  if (!::WriteFile(handle.h, bytes, static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30)),
                   &written, nullptr))
    return LastError();
  wrote = written;
  return {};
}

std::error_code SeekEnd(Handle& handle) {
  LARGE_INTEGER zero{};
  return ::SetFilePointerEx(handle.h, zero, nullptr, FILE_END) ? std::error_code() : LastError();
}

std::error_code Flush(Handle& handle) {
  return ::FlushFileBuffers(handle.h) ? std::error_code() : LastError();
}

std::error_code SetMode(Handle&, unsigned) { return {}; }  // files have no permission bits

std::error_code Close(OwnedHandle& handle) {
  const HANDLE h = handle->h;
  handle->h = INVALID_HANDLE_VALUE;
  handle.reset();
  return ::CloseHandle(h) ? std::error_code() : LastError();
}

// A byte-range lock on the open handle: another handle, in this process or
// another, is refused while it stands, and the system drops it when the
// owning process ends.
std::error_code TryLock(Handle& handle, bool& busy) {
  busy = false;
  if (LockOne(handle.h)) return {};
  const DWORD error = ::GetLastError();
  if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
    busy = true;
    return {};
  }
  return Error(error);
}

// A byte-range lock on a lock file in the folder: the file system holds it,
// so it excludes every process of every session, and every workstation that
// reaches the folder through a share; the system drops it when the owning
// process ends. The file stays (hidden), so that no one ever locks a file
// that another is about to remove. The folder's identity tells one folder
// from another whatever its spelling.
std::error_code OpenFolderLock(const std::string& native, OwnedHandle& handle, FileId& id) {
  Node folder;
  if (const auto ec = StatId(native, true, folder)) return ec;
  if (folder.kind != Node::Kind::kFolder) return Error(ERROR_DIRECTORY);
  id = folder.id;
  const std::wstring lock =
      Wide(native + (IsSeparator(native.back()) ? "" : "\\") + ".picmeta.lock");
  HANDLE h = INVALID_HANDLE_VALUE;
  const auto ec = RetryingBusy(
      [&] {
        h = ::CreateFileW(lock.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT,
                          nullptr);
        return h == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
      },
      true);
  if (ec) return ec;
  return Own(h, handle);
}

std::error_code TryLockFolder(Handle& handle, bool& busy) { return TryLock(handle, busy); }

unsigned long ProcessId() { return static_cast<unsigned long>(::GetCurrentProcessId()); }

}  // namespace os
}  // namespace picmeta::platform
