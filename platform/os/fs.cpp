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
std::shared_ptr<const FaultInjector> g_injector;
thread_local std::string_view t_fault_path;
std::atomic<bool> g_recording{false};
std::mutex g_recorder_mutex;
ChangeRecorder g_recorder;

// ---- The fault seam, on the table ----

// Asks the injector about op; the fault to apply (error 0: none).
Fault Injected(Op op) {
  if (!g_injecting.load(std::memory_order_acquire)) return {};
  std::shared_ptr<const FaultInjector> injector;
  {
    std::lock_guard lock(g_injector_mutex);
    injector = g_injector;
  }
  // Asked outside the lock: an injector may wait for another thread's calls.
  return injector ? (*injector)(op) : Fault{};
}

std::error_code Generic(int error) { return {error, std::generic_category()}; }

// A primitive called through the seam: the injected error instead, when the
// injector names one.
template <class Call>
std::error_code Sys(Op op, Call call) {
  const Fault f = Injected(op);
  if (f.error != 0) return Generic(f.error);
  if (f.skip && op == Op::kFsync) return {};
  return call();
}

// ---- The recording seam, on the table ----

// A primitive that changes files or folders, recorded once it succeeded
// (`change` says what it did), under one lock while a recorder is installed.
template <class Call, class Describe>
std::error_code Changing(Call call, Describe change) {
  if (!g_recording.load(std::memory_order_acquire)) return call();
  std::lock_guard lock(g_recorder_mutex);
  const std::error_code ec = call();
  if (ec || !g_recorder) return ec;
  const Change c = change();
  g_recorder(c);
  // Where renames are written through (no folder is ever synced), a rename
  // makes every change of names before it durable.
  if (c.kind == Change::Kind::kRename && !os::kSyncsFolders)
    g_recorder(
        {Change::Kind::kSyncFolder, Path::FromNative(c.target).Parent().Native(), {}, nullptr, {}});
  return ec;
}

// The table's calls that change something, recorded.
namespace changed {
std::error_code CreateNew(const std::string& native, bool shared, os::OwnedHandle& handle) {
  return Changing([&] { return os::CreateNew(native, shared, handle); },
                  [&] {
                    return Change{Change::Kind::kCreate, native, {}, handle.get(), {}};
                  });
}
std::error_code OpenReadWrite(const std::string& native, os::OwnedHandle& handle) {
  return Changing([&] { return os::OpenReadWrite(native, handle); },
                  [&] {
                    return Change{Change::Kind::kOpen, native, {}, handle.get(), {}};
                  });
}
std::error_code Write(os::Handle& handle, const char* bytes, std::size_t n, std::size_t& wrote) {
  return Changing([&] { return os::Write(handle, bytes, n, wrote); },
                  [&] {
                    return Change{Change::Kind::kWrite, {}, {}, &handle, {bytes, wrote}};
                  });
}
std::error_code Flush(os::Handle& handle) {
  return Changing([&] { return os::Flush(handle); },
                  [&] {
                    return Change{Change::Kind::kSync, {}, {}, &handle, {}};
                  });
}
std::error_code Unlink(const std::string& native) {
  return Changing([&] { return os::Unlink(native); },
                  [&] {
                    return Change{Change::Kind::kUnlink, native, {}, nullptr, {}};
                  });
}
std::error_code Rename(const std::string& from, const std::string& to) {
  return Changing([&] { return os::Rename(from, to); },
                  [&] {
                    return Change{Change::Kind::kRename, from, to, nullptr, {}};
                  });
}
std::error_code RenameNoReplace(const std::string& from, const std::string& to) {
  return Changing([&] { return os::RenameNoReplace(from, to); },
                  [&] {
                    return Change{Change::Kind::kRename, from, to, nullptr, {}};
                  });
}
std::error_code Link(const std::string& from, const std::string& to) {
  return Changing([&] { return os::Link(from, to); },
                  [&] {
                    return Change{Change::Kind::kLink, from, to, nullptr, {}};
                  });
}
std::error_code SyncFolderNative(const std::string& native) {
  return Changing([&] { return os::SyncFolder(native); },
                  [&] {
                    return Change{Change::Kind::kSyncFolder, native, {}, nullptr, {}};
                  });
}

}  // namespace changed

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

// ---- Writing ----

Status WriteAll(os::Handle& handle, std::string_view bytes) {
  while (!bytes.empty()) {
    const Fault f = Injected(Op::kWrite);
    if (f.error != 0) return StatusOf(Generic(f.error));
    const std::size_t want = f.short_io ? std::max<std::size_t>(1, bytes.size() / 2) : bytes.size();
    std::size_t wrote = 0;
    if (const auto ec = changed::Write(handle, bytes.data(), want, wrote)) {
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
// never that old, and one its maker keeps locked (a journal not yet named) is
// left to it. Not through the fault seam: cleaning up must not be made to fail.
void SweepAbandoned(const Path& folder) {
  const std::time_t now = std::time(nullptr);
  const std::string native = folder.Native();
  if (!SweepDue(native, now)) return;
  std::vector<std::string> names;
  if (os::List(native, names)) return;
  for (const std::string& name : names) {
    if (!IsTemporaryName(name)) continue;
    const std::string path = (folder / name).Native();
    Node node;
    if (os::Stat(path, false, node) || node.kind != Node::Kind::kRegular) continue;
    if (now - node.modified <= kAbandonedAfterSeconds) continue;
    os::OwnedHandle handle;
    bool busy = true;
    if (os::OpenReadWrite(path, handle) || os::TryLock(*handle, busy) || busy) continue;
    handle.reset();
    (void)changed::Unlink(path);
  }
}

// Writes bytes to a new temporary file in folder, flushed and closed; its
// native path in `temp`. Nothing is left behind on failure.
Status WriteTemporary(const Path& folder, std::string_view bytes, std::string& temp) {
  temp = (folder / TemporaryName()).Native();
  os::OwnedHandle handle;
  if (const auto ec = Sys(Op::kOpen, [&] { return changed::CreateNew(temp, false, handle); }))
    return StatusOf(ec);
  Status s = WriteAll(*handle, bytes);
  if (s.ok()) s = StatusOf(Sys(Op::kFsync, [&] { return changed::Flush(*handle); }));
  if (s.ok()) s = StatusOf(os::Close(handle));
  if (!s.ok()) {
    handle.reset();
    (void)changed::Unlink(temp);  // not through the seam: cleaning up must not be made to fail
  }
  return s;
}

// Renames without ever replacing; where the file system cannot tell, a hard
// link (which fails on an existing name) does it.
std::error_code RenameNoReplaceNative(const std::string& from, const std::string& to) {
  std::error_code ec = Sys(Op::kRename, [&] { return changed::RenameNoReplace(from, to); });
  if (ec != std::errc::invalid_argument && ec != std::errc::function_not_supported) return ec;
  if (const auto linked = Sys(Op::kLink, [&] { return changed::Link(from, to); })) return linked;
  (void)changed::Unlink(from);
  return {};
}

// The folder's entries made durable; kNotSynced when that failed.
Status SyncNative(const std::string& folder) {
  if (!os::kSyncsFolders) return {};  // renames are written through
  if (const auto ec = Sys(Op::kFsync, [&] { return changed::SyncFolderNative(folder); }))
    return {FileStatus::kNotSynced, ec};
  return {};
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
                                           "done, but its folder could not be synced",
                                           "I/O error"};
  static_assert(std::size(kTexts) == static_cast<std::size_t>(FileStatus::kIoError) + 1);
  if (status.ok()) return "ok";
  std::string text = kTexts[static_cast<std::size_t>(status.code)];
  if (status.error) text += " (" + status.error.message() + ")";
  return text;
}

// ---- The seams ----

std::string_view FaultPath() { return t_fault_path; }

void SetFaultInjector(FaultInjector injector) {
  std::lock_guard lock(g_injector_mutex);
  g_injector = injector ? std::make_shared<const FaultInjector>(std::move(injector)) : nullptr;
  g_injecting.store(static_cast<bool>(g_injector), std::memory_order_release);
}

void SetChangeRecorder(ChangeRecorder recorder) {
  std::lock_guard lock(g_recorder_mutex);
  g_recorder = std::move(recorder);
  g_recording.store(static_cast<bool>(g_recorder), std::memory_order_release);
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

bool IsTemporaryName(std::string_view name) {
  return name.substr(0, kTempPrefix.size()) == kTempPrefix;
}

void SetDefaultLockTimeout(int timeout_ms) { g_lock_timeout_ms.store(timeout_ms); }

// ---- Looking at files ----

Status StatFile(const Path& path, FileInfo& info) {
  Node node;
  if (const auto ec = Sys(Op::kStat, [&] { return os::Stat(path.Native(), false, node); }))
    return StatusOf(ec);
  if (node.kind != Node::Kind::kRegular) return {FileStatus::kNotRegular};
  // As stored: on Windows "img.jpg" and "IMG.JPG." are the file IMG.JPG.
  if (os::StoredName(path.Native(), info.name)) info.name = path.Name();
  info.created = node.created;
  info.modified = node.modified;
  info.modified_ns = node.modified_ns;
  info.size = node.size;
  info.read_only = node.read_only;
  return {};
}

bool FileExists(const Path& path) {
  FileInfo info;
  return StatFile(path, info).ok();
}

bool FolderExists(const Path& path) {
  Node node;
  return !Sys(Op::kStat, [&] { return os::Stat(path.Native(), true, node); }) &&
         node.kind == Node::Kind::kFolder;
}

Status GetFileId(const Path& path, FileId& id, std::uint32_t* links) {
  Node node;
  if (const auto ec = Sys(Op::kStat, [&] { return os::StatId(path.Native(), false, node); }))
    return StatusOf(ec);
  if (node.kind != Node::Kind::kRegular) return {FileStatus::kNotRegular};
  id = node.id;
  if (links) *links = node.links;
  return {};
}

Status GetFolderId(const Path& path, FileId& id) {
  Node node;
  if (const auto ec = Sys(Op::kStat, [&] { return os::StatId(path.Native(), true, node); }))
    return StatusOf(ec);
  if (node.kind != Node::Kind::kFolder) return {FileStatus::kNotRegular};
  id = node.id;
  return {};
}

Status ListFolder(const Path& folder, std::vector<std::string>& names) {
  names.clear();
  if (const auto ec = Sys(Op::kList, [&] { return os::List(folder.Native(), names); }))
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

Status ReadFile::Open(const Path& path, Access access) {
  handle_.reset();
  os::OwnedHandle handle;
  std::error_code ec;
  {
    const std::string native = path.Native();
    const FaultPathScope scope(native);
    ec = Sys(Op::kOpen, [&] { return os::OpenRead(native, access == Access::kScattered, handle); });
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

Status ReadWholeFile(const Path& path, std::int64_t max_size, std::string& bytes) {
  ReadFile file;
  if (Status s = file.Open(path); !s.ok()) return s;
  if (file.size() > max_size) return {FileStatus::kTooLarge};
  bytes.resize(static_cast<std::size_t>(file.size()));
  return file.ReadAt(0, bytes.data(), bytes.size());
}

// ---- Changing files ------------------------------------------------------------

Status RemoveFile(const Path& path) {
  const std::string native = path.Native();
  Node node;
  if (const auto ec = Sys(Op::kStat, [&] { return os::Stat(native, false, node); }))
    return StatusOf(ec);
  if (node.kind != Node::Kind::kRegular) return {FileStatus::kNotRegular};
  if (node.read_only) return ReadOnly();
  return StatusOf(Sys(Op::kUnlink, [&] { return changed::Unlink(native); }));
}

Status AtomicWriteFile(const Path& path, std::string_view bytes) {
  auto writer = AtomicFileWriter::Open(path);
  if (!writer) return writer.status();
  if (Status s = writer->Write(bytes); !s.ok()) return s;
  return writer->Commit();
}

Result<AtomicFileWriter> AtomicFileWriter::Open(const Path& path) {
  AtomicFileWriter writer(path);
  const std::string native = path.Native();
  Node node;
  if (const auto ec = Sys(Op::kStat, [&] { return os::Stat(native, false, node); })) {
    if (StatusOf(ec).code != FileStatus::kNotFound) return StatusOf(ec);
  } else if (node.kind == Node::Kind::kRegular) {
    if (node.read_only) return ReadOnly();
    writer.keep_mode_ = node.mode;
  } else if (node.kind != Node::Kind::kLink) {  // a link is replaced, never written through
    return Status{FileStatus::kNotRegular};
  }
  const Path folder = path.Parent();
  SweepAbandoned(folder);
  writer.temp_ = (folder / TemporaryName()).Native();
  if (const auto ec =
          Sys(Op::kOpen, [&] { return changed::CreateNew(writer.temp_, false, writer.handle_); }))
    return StatusOf(ec);
  return writer;
}

AtomicFileWriter::~AtomicFileWriter() { Discard(); }

void AtomicFileWriter::Discard() {
  if (!handle_) return;
  handle_.reset();
  (void)changed::Unlink(temp_);  // not through the seam: cleaning up must not be made to fail
}

Status AtomicFileWriter::Write(std::string_view bytes) {
  if (!handle_) return {FileStatus::kIoError, NotOpen()};
  const Status s = WriteAll(*handle_, bytes);
  if (!s.ok()) Discard();
  return s;
}

Status AtomicFileWriter::Commit() {
  if (!handle_) return {FileStatus::kIoError, NotOpen()};
  Status s;
  if (keep_mode_) s = StatusOf(os::SetMode(*handle_, *keep_mode_));
  if (s.ok()) s = StatusOf(Sys(Op::kFsync, [&] { return changed::Flush(*handle_); }));
  if (!s.ok()) {
    Discard();
    return s;
  }
  if (const auto ec = os::Close(handle_)) {
    (void)changed::Unlink(temp_);
    return StatusOf(ec);
  }
  const std::string native = path_.Native();
  if (const auto ec = Sys(Op::kRename, [&] { return changed::Rename(temp_, native); })) {
    (void)changed::Unlink(temp_);
    return StatusOf(ec);
  }
  // The new content is in place: a failure from here on is no failure to
  // replace, only to make the replacement durable.
  return SyncNative(path_.Parent().Native());
}

Status CreateExclusive(const Path& path, std::string_view bytes) {
  const Path folder = path.Parent();
  SweepAbandoned(folder);
  std::string temp;
  if (Status s = WriteTemporary(folder, bytes, temp); !s.ok()) return s;
  if (const auto ec = RenameNoReplaceNative(temp, path.Native())) {
    (void)changed::Unlink(temp);
    return StatusOf(ec);
  }
  return SyncNative(folder.Native());
}

Status MoveNoReplace(const Path& path, const Path& target) {
  return StatusOf(RenameNoReplaceNative(path.Native(), target.Native()));
}

Status SyncFolder(const Path& folder) { return SyncNative(folder.Native()); }

bool FoldersAreSynced() { return os::kSyncsFolders; }

// ---- LockedFile ----------------------------------------------------------------

LockedFile::~LockedFile() { Close(); }

void LockedFile::Close() { handle_.reset(); }  // the lock goes with it

Status LockedFile::Create(const Path& path, std::string_view first) {
  Close();
  const Path folder = path.Parent();
  const std::string temp = (folder / TemporaryName()).Native();
  os::OwnedHandle handle;
  if (const auto ec = Sys(Op::kOpen, [&] { return changed::CreateNew(temp, true, handle); }))
    return StatusOf(ec);
  // Locked, written and synced under a name nobody takes; then named.
  bool busy = false;
  Status s = StatusOf(os::TryLock(*handle, busy));
  if (s.ok() && busy) s = {FileStatus::kLocked};
  if (s.ok()) s = WriteAll(*handle, first);
  if (s.ok()) s = StatusOf(Sys(Op::kFsync, [&] { return changed::Flush(*handle); }));
  Node node;
  if (s.ok()) s = StatusOf(os::Stat(*handle, node));
  if (s.ok()) s = StatusOf(RenameNoReplaceNative(temp, path.Native()));
  if (!s.ok()) {
    handle.reset();
    (void)changed::Unlink(temp);
    return s;
  }
  handle_ = std::move(handle);
  path_ = path;
  id_ = node.id;
  return SyncNative(folder.Native());
}

Status LockedFile::TryTake(const Path& path) {
  Close();
  path_ = path;
  os::OwnedHandle handle;
  if (const auto ec = Sys(Op::kOpen, [&] { return changed::OpenReadWrite(path.Native(), handle); }))
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
  id_ = node.id;
  return {};
}

Status LockedFile::Append(std::string_view bytes) {
  if (!handle_) return {FileStatus::kIoError, NotOpen()};
  if (const auto ec = os::SeekEnd(*handle_)) return StatusOf(ec);
  if (Status s = WriteAll(*handle_, bytes); !s.ok()) return s;
  return StatusOf(Sys(Op::kFsync, [&] { return changed::Flush(*handle_); }));
}

Status LockedFile::ReadAll(std::int64_t max_size, std::string& bytes) const {
  bytes.clear();
  if (!handle_) return {FileStatus::kIoError, NotOpen()};
  Node node;
  if (const auto ec = os::Stat(*handle_, node)) return StatusOf(ec);
  if (node.size > max_size) return {FileStatus::kTooLarge};
  char buffer[8192];
  for (std::int64_t at = 0;;) {
    std::size_t got = 0;
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::int64_t>(sizeof buffer, max_size + 1 - at));
    if (want == 0) return {FileStatus::kTooLarge};  // it grew meanwhile
    if (const auto ec =
            Sys(Op::kRead, [&] { return os::ReadAt(*handle_, at, buffer, want, got); })) {
      if (ec == std::errc::interrupted) continue;
      return StatusOf(ec);
    }
    if (got == 0) return {};
    bytes.append(buffer, got);
    at += static_cast<std::int64_t>(got);
  }
}

Status LockedFile::Sync() {
  if (!handle_) return {FileStatus::kIoError, NotOpen()};
  return StatusOf(Sys(Op::kFsync, [&] { return changed::Flush(*handle_); }));
}

Status LockedFile::Remove() {
  if (!handle_) return {FileStatus::kIoError, NotOpen()};
  const Status s = StatusOf(Sys(Op::kUnlink, [&] { return changed::Unlink(path_.Native()); }));
  Close();  // the name goes once the last handle does
  return s;
}

// ---- FolderLock ----------------------------------------------------------------

bool HoldingFolderLock() { return t_held_count > 0; }

Result<FolderLock> FolderLock::Take(const Path& folder, int timeout_ms) {
  os::OwnedHandle handle;
  FileId id;
  if (const auto ec =
          Sys(Op::kOpen, [&] { return os::OpenFolderLock(folder.Native(), handle, id); }))
    return StatusOf(ec);
  const Status timed_out{FileStatus::kLockTimeout, std::make_error_code(std::errc::timed_out)};
  // Held by this very thread: it cannot be released while this one waits.
  if (std::find(t_held, t_held + t_held_count, id) != t_held + t_held_count ||
      t_held_count == kMaxHeld)
    return timed_out;
  if (timeout_ms < 0) timeout_ms = g_lock_timeout_ms.load();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  auto pause = std::chrono::microseconds(200);
  for (;;) {
    bool busy = false;
    const auto ec = Sys(Op::kLock, [&] { return os::TryLockFolder(*handle, busy); });
    if (!ec && !busy) break;
    if (ec && ec != std::errc::interrupted) return StatusOf(ec);
    if (std::chrono::steady_clock::now() >= deadline) return timed_out;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(20000));
  }
  return FolderLock(std::move(handle), id);
}

FolderLock::FolderLock(os::OwnedHandle handle, const FileId& id)
    : handle_(std::move(handle)), id_(id) {
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
