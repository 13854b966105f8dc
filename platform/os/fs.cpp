// The parts of the file service that are the same on every platform.
#include "platform/os/fs.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace picmeta::platform {

std::string BackslashPath(std::string_view path) {
  std::string out(path);
  for (char& c : out)
    if (c == '/') c = '\\';
  return out;
}

namespace {

std::atomic<int> g_lock_timeout_ms{20000};
std::atomic<bool> g_injecting{false};
std::mutex g_injector_mutex;
FaultInjector g_injector;

}  // namespace

std::string Describe(const Status& status) {
  std::string text;
  switch (status.code) {
    case FileStatus::kOk:
      return "ok";
    case FileStatus::kNotFound:
      text = "not found";
      break;
    case FileStatus::kNotRegular:
      text = "not a regular file";
      break;
    case FileStatus::kTooLarge:
      text = "too large";
      break;
    case FileStatus::kExists:
      text = "already exists";
      break;
    case FileStatus::kReadOnly:
      text = "read-only";
      break;
    case FileStatus::kLocked:
      text = "held by another call";
      break;
    case FileStatus::kIoError:
      text = "I/O error";
      break;
  }
  if (status.error != 0) text += std::string(" (") + std::strerror(status.error) + ")";
  return text;
}

FsError::FsError(const std::string& what, Status status)
    : std::runtime_error(what), status_(status) {}

void Check(const Status& status, const std::string& what, std::string_view path) {
  if (!status.ok()) throw FsError(what + " " + NativePath(path) + ": " + Describe(status), status);
}

namespace {
thread_local std::string_view t_fault_path;
}  // namespace

std::string_view FaultPath() { return t_fault_path; }

namespace detail {
FaultPathScope::FaultPathScope(std::string_view path) { t_fault_path = path; }
FaultPathScope::~FaultPathScope() { t_fault_path = {}; }
}  // namespace detail

void SetFaultInjector(FaultInjector injector) {
  std::lock_guard lock(g_injector_mutex);
  g_injector = std::move(injector);
  g_injecting.store(static_cast<bool>(g_injector), std::memory_order_release);
}

std::string GetFileName(std::string_view path) {
  const auto sep = path.find_last_of("\\/");
  return std::string(sep == std::string_view::npos ? path : path.substr(sep + 1));
}

bool IsTemporaryName(std::string_view name) {
  return name.substr(0, detail::kTempPrefix.size()) == detail::kTempPrefix;
}

void SetDefaultLockTimeout(int timeout_ms) { g_lock_timeout_ms.store(timeout_ms); }

// ---- What every platform's file service shares ----------------------------------

bool FileExists(std::string_view path) {
  FileInfo info;
  return StatFile(path, info).ok();
}

FileInfo GetFile(std::string_view path) {
  FileInfo info;
  Check(StatFile(path, info), "cannot find file", path);
  return info;
}

ReadFile::~ReadFile() { Close(); }

ReadFile::ReadFile(ReadFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), size_(other.size_) {}

ReadFile& ReadFile::operator=(ReadFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, -1);
    size_ = other.size_;
  }
  return *this;
}

Status ReadWholeFile(std::string_view path, std::int64_t max_size, std::string& bytes) {
  ReadFile file;
  if (Status s = file.Open(path); !s.ok()) return s;
  if (file.size() > max_size) return {FileStatus::kTooLarge, 0};
  bytes.resize(static_cast<std::size_t>(file.size()));
  return file.ReadAt(0, bytes.data(), bytes.size());
}

void AtomicWriteFile(std::string_view path, std::string_view bytes) {
  AtomicFileWriter writer(path);
  writer.Write(bytes);
  writer.Commit();
}

FolderLock::FolderLock(FolderLock&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

namespace detail {

int DefaultLockTimeout() { return g_lock_timeout_ms.load(); }

Fault Injected(Op op) {
  if (!g_injecting.load(std::memory_order_acquire)) return {};
  std::lock_guard lock(g_injector_mutex);
  return g_injector ? g_injector(op) : Fault{};
}

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

}  // namespace detail
}  // namespace picmeta::platform
