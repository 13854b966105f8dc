// The file service's policy, the same on every system: what each call does
// with the system's table of primitives (primitives.h).
#include "platform/os/fs.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/os/primitives.h"

namespace picmeta::platform {
namespace {

using os::Node;

constexpr std::int64_t kAbandonedAfterSeconds = 3600;
constexpr std::string_view kTempPrefix = ".pmtmp-";

std::atomic<int> g_lock_timeout_ms{20000};
std::atomic<bool> g_injecting{false};
std::mutex g_injector_mutex;
FaultInjector g_injector;
thread_local std::string_view t_fault_path;

// ---- The fault seam, on the table ----

// Asks the injector about op; the fault to apply (error 0: none).
Fault Injected(Op op) {
  if (!g_injecting.load(std::memory_order_acquire)) return {};
  std::lock_guard lock(g_injector_mutex);
  return g_injector ? g_injector(op) : Fault{};
}

std::error_code Generic(int error) { return {error, std::generic_category()}; }

// A primitive called through the seam: the injected error instead, when the
// injector names one.
template <class Call>
std::error_code Sys(Op op, Call call) {
  if (const Fault f = Injected(op); f.error != 0) return Generic(f.error);
  return call();
}

// Names the path FaultPath() tells while it lives.
struct FaultPathScope {
  explicit FaultPathScope(std::string_view path) { t_fault_path = path; }
  ~FaultPathScope() { t_fault_path = {}; }
  FaultPathScope(const FaultPathScope&) = delete;
  FaultPathScope& operator=(const FaultPathScope&) = delete;
};

std::error_code NotOpen() { return std::make_error_code(std::errc::bad_file_descriptor); }

// A file the library would not change: read-only files belong to someone.
Status ReadOnly() {
  return {FileStatus::kReadOnly, std::make_error_code(std::errc::permission_denied)};
}

void ThrowIfNotOpen(const os::OwnedHandle& handle, const std::string& path) {
  if (!handle)
    throw FsError("cannot write " + NativePath(path) + ": not open",
                  {FileStatus::kIoError, NotOpen()});
}

// ---- Writing ----

Status WriteAll(os::Handle& handle, std::string_view bytes) {
  while (!bytes.empty()) {
    const Fault f = Injected(Op::kWrite);
    if (f.error != 0) return StatusOf(Generic(f.error));
    const std::size_t want = f.short_io ? std::max<std::size_t>(1, bytes.size() / 2) : bytes.size();
    std::size_t wrote = 0;
    if (const auto ec = os::Write(handle, bytes.data(), want, wrote)) {
      if (ec == std::errc::interrupted) continue;
      return StatusOf(ec);
    }
    bytes.remove_prefix(wrote);
  }
  return {};
}

// ---- Temporaries ----

std::string TemporaryName() { return std::string(kTempPrefix) + UniqueId(); }

// Whether the folder's temporaries are due to be swept: at most once an hour
// per folder and process, so that a save never lists its folder as a rule.
bool SweepDue(const std::string& folder, std::time_t now) {
  static std::mutex mutex;
  static std::unordered_map<std::string, std::time_t> next;
  std::lock_guard lock(mutex);
  if (next.size() > 4096) next.clear();  // bounded; forgetting only means an early sweep
  const auto [it, fresh] = next.try_emplace(folder, 0);
  if (!fresh && now < it->second) return false;
  it->second = now + kAbandonedAfterSeconds;
  return true;
}

// Removes temporaries that were clearly abandoned (by a writer that crashed):
// one still being written, here or on another host sharing the folder, is
// never that old. Not through the seam: cleaning up must not be made to fail.
void SweepAbandoned(const std::string& folder) {
  const std::time_t now = std::time(nullptr);
  if (!SweepDue(folder, now)) return;
  std::vector<std::string> names;
  if (os::List(folder, names)) return;
  for (const std::string& name : names) {
    if (!IsTemporaryName(name)) continue;
    const std::string path = os::JoinNative(folder, name);
    Node node;
    if (os::Stat(path, false, node) || node.kind != Node::Kind::kRegular) continue;
    if (now - node.modified > kAbandonedAfterSeconds) (void)os::Unlink(path);
  }
}

// Writes bytes to a new temporary file in folder, flushed and closed; its
// native path in `temp`. Nothing is left behind on failure.
Status WriteTemporary(const std::string& folder, std::string_view bytes, std::string& temp) {
  temp = os::JoinNative(folder, TemporaryName());
  os::OwnedHandle handle;
  if (const auto ec = Sys(Op::kOpen, [&] { return os::CreateNew(temp, false, handle); }))
    return StatusOf(ec);
  Status s = WriteAll(*handle, bytes);
  if (s.ok()) s = StatusOf(Sys(Op::kFsync, [&] { return os::Flush(*handle); }));
  if (s.ok()) s = StatusOf(os::Close(handle));
  if (!s.ok()) {
    handle.reset();
    (void)os::Unlink(temp);  // not through the seam: cleaning up must not be made to fail
  }
  return s;
}

// Renames without ever replacing; where the file system cannot tell, a hard
// link (which fails on an existing name) does it.
std::error_code RenameNoReplaceNative(const std::string& from, const std::string& to) {
  std::error_code ec = Sys(Op::kRename, [&] { return os::RenameNoReplace(from, to); });
  if (ec != std::errc::invalid_argument && ec != std::errc::function_not_supported) return ec;
  if (const auto linked = Sys(Op::kLink, [&] { return os::Link(from, to); })) return linked;
  (void)os::Unlink(from);
  return {};
}

void SyncNative(const std::string& folder) {
  if (!os::kSyncsFolders) return;  // renames are written through
  (void)Sys(Op::kFsync, [&] { return os::SyncFolder(folder); });
}

// ---- Folder locks ----

// The folders this thread holds, innermost last. Plain data: a thread-local
// with a destructor is not safe with the static MinGW runtime.
constexpr int kMaxHeld = 64;
thread_local FileId t_held[kMaxHeld];
thread_local int t_held_count = 0;

}  // namespace

// ---- Statuses ----

Status StatusOf(std::error_code error) {
  if (!error) return {};
  if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory)
    return {FileStatus::kNotFound, error};
  // A final link met by a call that does not follow one, a folder or a
  // device opened as a file.
  if (error == std::errc::too_many_symbolic_link_levels || error == std::errc::is_a_directory ||
      error == std::errc::no_such_device_or_address)
    return {FileStatus::kNotRegular, error};
  if (error == std::errc::file_exists) return {FileStatus::kExists, error};
  return {FileStatus::kIoError, error};
}

std::string Describe(const Status& status) {
  // By FileStatus, in its order.
  static constexpr const char* kTexts[] = {"ok",
                                           "not found",
                                           "not a regular file",
                                           "too large",
                                           "already exists",
                                           "read-only",
                                           "held by another call",
                                           "held by another call for too long",
                                           "I/O error"};
  static_assert(std::size(kTexts) == static_cast<std::size_t>(FileStatus::kIoError) + 1);
  if (status.ok()) return "ok";
  std::string text = kTexts[static_cast<std::size_t>(status.code)];
  if (status.error) text += " (" + status.error.message() + ")";
  return text;
}

FsError::FsError(const std::string& what, Status status)
    : std::runtime_error(what), status_(status) {}

void Check(const Status& status, const std::string& what, std::string_view path) {
  if (!status.ok()) throw FsError(what + " " + NativePath(path) + ": " + Describe(status), status);
}

// ---- The seam ----

std::string_view FaultPath() { return t_fault_path; }

void SetFaultInjector(FaultInjector injector) {
  std::lock_guard lock(g_injector_mutex);
  g_injector = std::move(injector);
  g_injecting.store(static_cast<bool>(g_injector), std::memory_order_release);
}

// ---- Names ----

// Short, so that a long name never overflows the name limit; the random part
// keeps writers on other hosts or PID namespaces apart.
std::string UniqueId() {
  static std::atomic<unsigned long> sequence{0};
  static const unsigned long salt = [] {
    std::random_device rd;
    return (static_cast<unsigned long>(rd()) << 16) ^ rd();
  }();
  char buf[64];
  std::snprintf(buf, sizeof buf, "%lu-%lu-%08lx", os::ProcessId(), sequence.fetch_add(1),
                salt & 0xFFFFFFFFul);
  return buf;
}

std::string BackslashPath(std::string_view path) {
  std::string out(path);
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

std::string NativePath(std::string_view path) {
  std::string out(path);
  std::replace(out.begin(), out.end(), os::kSeparator == '/' ? '\\' : '/', os::kSeparator);
  return out;
}

std::string GetFileName(std::string_view path) {
  const auto sep = path.find_last_of("\\/");
  return std::string(sep == std::string_view::npos ? path : path.substr(sep + 1));
}

bool IsTemporaryName(std::string_view name) {
  return name.substr(0, kTempPrefix.size()) == kTempPrefix;
}

void SetDefaultLockTimeout(int timeout_ms) { g_lock_timeout_ms.store(timeout_ms); }

// ---- Looking at files ----

Status StatFile(std::string_view path, FileInfo& info) {
  Node node;
  if (const auto ec = Sys(Op::kStat, [&] { return os::Stat(NativePath(path), false, node); }))
    return StatusOf(ec);
  if (node.kind != Node::Kind::kRegular) return {FileStatus::kNotRegular};
  info.name = GetFileName(path);
  info.created = node.created;
  info.modified = node.modified;
  info.modified_ns = node.modified_ns;
  info.size = node.size;
  info.read_only = node.read_only;
  return {};
}

bool FileExists(std::string_view path) {
  FileInfo info;
  return StatFile(path, info).ok();
}

bool FolderExists(std::string_view path) {
  Node node;
  return !Sys(Op::kStat, [&] { return os::Stat(NativePath(path), true, node); }) &&
         node.kind == Node::Kind::kFolder;
}

FileInfo GetFile(std::string_view path) {
  FileInfo info;
  Check(StatFile(path, info), "cannot find file", path);
  return info;
}

std::string ParentFolderPath(std::string_view path) {
  std::string parent;
  if (const auto ec = os::ParentFolder(NativePath(path), parent))
    throw FsError("cannot resolve " + NativePath(path), StatusOf(ec));
  return BackslashPath(parent);
}

bool SameFile(std::string_view a, std::string_view b) {
  Node na, nb;
  return !os::StatId(NativePath(a), true, na) && !os::StatId(NativePath(b), true, nb) &&
         na.id == nb.id;
}

Status GetFileId(std::string_view path, FileId& id) {
  Node node;
  if (const auto ec = Sys(Op::kStat, [&] { return os::StatId(NativePath(path), false, node); }))
    return StatusOf(ec);
  if (node.kind != Node::Kind::kRegular) return {FileStatus::kNotRegular};
  id = node.id;
  return {};
}

Status ListFolder(std::string_view folder, std::vector<std::string>& names) {
  names.clear();
  const std::string native = NativePath(folder);
  if (const auto ec =
          Sys(Op::kList, [&] { return os::List(native.empty() ? "." : native, names); }))
    return StatusOf(ec);
  names.erase(std::remove_if(names.begin(), names.end(),
                             [](const std::string& n) { return n == "." || n == ".."; }),
              names.end());
  return {};
}

// ---- ReadFile ----------------------------------------------------------------

ReadFile::ReadFile() = default;
ReadFile::~ReadFile() = default;
ReadFile::ReadFile(ReadFile&& other) noexcept = default;
ReadFile& ReadFile::operator=(ReadFile&& other) noexcept = default;

Status ReadFile::Open(std::string_view path, Access access) {
  handle_.reset();
  os::OwnedHandle handle;
  std::error_code ec;
  {
    const FaultPathScope scope(path);
    ec = Sys(Op::kOpen,
             [&] { return os::OpenRead(NativePath(path), access == Access::kScattered, handle); });
  }
  if (ec) return StatusOf(ec);
  Node node;
  if (const auto st = os::Stat(*handle, node)) return StatusOf(st);
  // Anything but a regular file has no coherent length.
  if (node.kind != Node::Kind::kRegular) return {FileStatus::kNotRegular};
  size_ = node.size;
  handle_ = std::move(handle);
  return {};
}

Status ReadFile::ReadAt(std::int64_t offset, void* buffer, std::size_t n) const {
  if (!handle_) return {FileStatus::kIoError, NotOpen()};
  auto* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < n) {
    const Fault f = Injected(Op::kRead);
    if (f.error != 0) return StatusOf(Generic(f.error));
    const std::size_t want = f.short_io ? std::max<std::size_t>(1, (n - done) / 2) : n - done;
    std::size_t got = 0;
    if (const auto ec =
            os::ReadAt(*handle_, offset + static_cast<std::int64_t>(done), out + done, want, got)) {
      if (ec == std::errc::interrupted) continue;
      return StatusOf(ec);
    }
    if (got == 0) return {FileStatus::kIoError};  // the file ended sooner: it shrank
    done += got;
  }
  return {};
}

Status ReadWholeFile(std::string_view path, std::int64_t max_size, std::string& bytes) {
  ReadFile file;
  if (Status s = file.Open(path); !s.ok()) return s;
  if (file.size() > max_size) return {FileStatus::kTooLarge};
  bytes.resize(static_cast<std::size_t>(file.size()));
  return file.ReadAt(0, bytes.data(), bytes.size());
}

// ---- Changing files ------------------------------------------------------------

void DeleteFile(std::string_view path) {
  const std::string native = NativePath(path);
  Node node;
  if (const auto ec = Sys(Op::kStat, [&] { return os::Stat(native, false, node); }))
    Check(StatusOf(ec), "cannot delete", path);
  if (node.kind != Node::Kind::kRegular) Check({FileStatus::kNotRegular}, "cannot delete", path);
  if (node.read_only) Check(ReadOnly(), "cannot delete", path);
  if (const auto ec = Sys(Op::kUnlink, [&] { return os::Unlink(native); }))
    Check(StatusOf(ec), "cannot delete", path);
}

void AtomicWriteFile(std::string_view path, std::string_view bytes) {
  AtomicFileWriter writer(path);
  writer.Write(bytes);
  writer.Commit();
}

AtomicFileWriter::AtomicFileWriter(std::string_view path) : path_(path) {
  const std::string native = NativePath(path);
  const std::string folder = os::FolderOf(native);
  Node node;
  if (const auto ec = Sys(Op::kStat, [&] { return os::Stat(native, false, node); })) {
    if (StatusOf(ec).code != FileStatus::kNotFound) Check(StatusOf(ec), "cannot replace", path);
  } else if (node.kind == Node::Kind::kRegular) {
    if (node.read_only) Check(ReadOnly(), "cannot replace", path);
    keep_mode_ = node.mode;
  } else if (node.kind != Node::Kind::kLink) {  // a link is replaced, never written through
    Check({FileStatus::kNotRegular}, "cannot replace", path);
  }
  SweepAbandoned(folder);
  temp_ = os::JoinNative(folder, TemporaryName());
  if (const auto ec = Sys(Op::kOpen, [&] { return os::CreateNew(temp_, false, handle_); }))
    Check(StatusOf(ec), "cannot write", path);
}

AtomicFileWriter::~AtomicFileWriter() { Discard(); }

void AtomicFileWriter::Discard() {
  if (!handle_) return;
  handle_.reset();
  (void)os::Unlink(temp_);  // not through the seam: cleaning up must not be made to fail
}

void AtomicFileWriter::Write(std::string_view bytes) {
  ThrowIfNotOpen(handle_, path_);
  if (const Status s = WriteAll(*handle_, bytes); !s.ok()) {
    Discard();
    Check(s, "cannot write", path_);
  }
}

void AtomicFileWriter::Commit() {
  ThrowIfNotOpen(handle_, path_);
  Status s;
  if (keep_mode_) s = StatusOf(os::SetMode(*handle_, *keep_mode_));
  if (s.ok()) s = StatusOf(Sys(Op::kFsync, [&] { return os::Flush(*handle_); }));
  if (!s.ok()) {
    Discard();
    Check(s, "cannot write", path_);
  }
  if (const auto ec = os::Close(handle_)) {
    (void)os::Unlink(temp_);
    Check(StatusOf(ec), "cannot write", path_);
  }
  const std::string native = NativePath(path_);
  if (const auto ec = Sys(Op::kRename, [&] { return os::Rename(temp_, native); })) {
    (void)os::Unlink(temp_);
    Check(StatusOf(ec), "cannot replace", path_);
  }
  // The new content is in place, so a failure from here on is not reported:
  // the caller must not believe the old file still stands.
  SyncNative(os::FolderOf(native));
}

Status CreateExclusive(std::string_view path, std::string_view bytes) {
  const std::string native = NativePath(path);
  const std::string folder = os::FolderOf(native);
  SweepAbandoned(folder);
  std::string temp;
  if (Status s = WriteTemporary(folder, bytes, temp); !s.ok()) return s;
  if (const auto ec = RenameNoReplaceNative(temp, native)) {
    (void)os::Unlink(temp);
    return StatusOf(ec);
  }
  SyncNative(folder);
  return {};
}

void RenameNoReplace(std::string_view path, std::string_view target) {
  if (const auto ec = RenameNoReplaceNative(NativePath(path), NativePath(target)))
    Check(StatusOf(ec), "cannot rename", path);
}

void SyncFolder(std::string_view folder) {
  const std::string native = NativePath(folder);
  SyncNative(native.empty() ? "." : native);
}

// ---- LockedFile ----------------------------------------------------------------

LockedFile::~LockedFile() { Close(); }

void LockedFile::Close() { handle_.reset(); }  // the lock goes with it

Status LockedFile::Create(std::string_view path) {
  Close();
  path_ = std::string(path);
  const std::string native = NativePath(path);
  os::OwnedHandle handle;
  if (const auto ec = Sys(Op::kOpen, [&] { return os::CreateNew(native, true, handle); }))
    return StatusOf(ec);
  bool busy = false;
  if (const auto ec = os::TryLock(*handle, busy); ec || busy) {
    handle.reset();
    (void)os::Unlink(native);
    return busy ? Status{FileStatus::kLocked} : StatusOf(ec);
  }
  handle_ = std::move(handle);
  return {};
}

Status LockedFile::TryTake(std::string_view path) {
  Close();
  path_ = std::string(path);
  os::OwnedHandle handle;
  if (const auto ec = Sys(Op::kOpen, [&] { return os::OpenReadWrite(NativePath(path), handle); }))
    return StatusOf(ec);
  Node node;
  if (const auto ec = os::Stat(*handle, node)) return StatusOf(ec);
  if (node.kind != Node::Kind::kRegular) return {FileStatus::kNotRegular};
  for (;;) {
    bool busy = false;
    const auto ec = Sys(Op::kLock, [&] { return os::TryLock(*handle, busy); });
    if (ec == std::errc::interrupted) continue;
    if (ec) return StatusOf(ec);
    if (busy)
      return {FileStatus::kLocked, std::make_error_code(std::errc::resource_unavailable_try_again)};
    break;
  }
  handle_ = std::move(handle);
  return {};
}

Status LockedFile::Append(std::string_view bytes) {
  if (!handle_) return {FileStatus::kIoError, NotOpen()};
  if (const auto ec = os::SeekEnd(*handle_)) return StatusOf(ec);
  if (Status s = WriteAll(*handle_, bytes); !s.ok()) return s;
  return StatusOf(Sys(Op::kFsync, [&] { return os::Flush(*handle_); }));
}

Status LockedFile::ReadAll(std::string& bytes) const {
  bytes.clear();
  if (!handle_) return {FileStatus::kIoError, NotOpen()};
  char buffer[8192];
  for (std::int64_t at = 0;;) {
    std::size_t got = 0;
    if (const auto ec = os::ReadAt(*handle_, at, buffer, sizeof buffer, got)) {
      if (ec == std::errc::interrupted) continue;
      return StatusOf(ec);
    }
    if (got == 0) return {};
    bytes.append(buffer, got);
    at += static_cast<std::int64_t>(got);
  }
}

Status LockedFile::RenameTo(std::string_view target) {
  if (!handle_) return {FileStatus::kIoError, NotOpen()};
  // The open file is renamed: every handle of it shares deletion.
  if (const auto ec = RenameNoReplaceNative(NativePath(path_), NativePath(target)))
    return StatusOf(ec);
  path_ = std::string(target);
  SyncNative(os::FolderOf(NativePath(path_)));
  return {};
}

Status LockedFile::Remove() {
  if (!handle_) return {FileStatus::kIoError, NotOpen()};
  const Status s = StatusOf(Sys(Op::kUnlink, [&] { return os::Unlink(NativePath(path_)); }));
  Close();  // the name goes once the last handle does
  return s;
}

// ---- FolderLock ----------------------------------------------------------------

bool HoldingFolderLock() { return t_held_count > 0; }

FolderLock::FolderLock(std::string_view folder, int timeout_ms) {
  const std::string native = NativePath(folder);
  os::OwnedHandle handle;
  FileId id;
  if (const auto ec = Sys(
          Op::kOpen, [&] { return os::OpenFolderLock(native.empty() ? "." : native, handle, id); }))
    Check(StatusOf(ec), "cannot open folder", folder);
  const Status timed_out{FileStatus::kLockTimeout, std::make_error_code(std::errc::timed_out)};
  // Held by this very thread: it cannot be released while this one waits.
  if (std::find(t_held, t_held + t_held_count, id) != t_held + t_held_count ||
      t_held_count == kMaxHeld)
    Check(timed_out, "timed out locking", folder);
  if (timeout_ms < 0) timeout_ms = g_lock_timeout_ms.load();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  auto pause = std::chrono::microseconds(200);
  for (;;) {
    bool busy = false;
    const auto ec = Sys(Op::kLock, [&] { return os::TryLockFolder(*handle, busy); });
    if (!ec && !busy) break;
    if (ec && ec != std::errc::interrupted) Check(StatusOf(ec), "cannot lock", folder);
    if (std::chrono::steady_clock::now() >= deadline) Check(timed_out, "timed out locking", folder);
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(20000));
  }
  handle_ = std::move(handle);
  id_ = id;
  t_held[t_held_count++] = id;
}

FolderLock::FolderLock(FolderLock&& other) noexcept
    : handle_(std::move(other.handle_)), id_(other.id_) {}

FolderLock::~FolderLock() {
  if (!handle_) return;
  handle_.reset();
  // Usually the last taken; any order is kept right.
  for (int i = t_held_count - 1; i >= 0; --i) {
    if (t_held[i] == id_) {
      std::copy(t_held + i + 1, t_held + t_held_count, t_held + i);
      --t_held_count;
      break;
    }
  }
}

}  // namespace picmeta::platform
