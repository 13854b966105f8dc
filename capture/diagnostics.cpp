#include "capture/diagnostics.h"

#include <cxxabi.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "capture/guarded.h"
#include "picmeta/clsmain.h"
#include "picmeta/picmeta.h"
#include "platform/os/debugger.h"
#include "reader/exif_reader.h"
#include "records/failure.h"

namespace picmeta {
namespace {

template <class Handler>
class Slot {
 public:
  void Set(std::shared_ptr<const Handler> h) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(h);
    set_.store(static_cast<bool>(handler_), std::memory_order_release);
  }
  bool IsSet() const { return set_.load(std::memory_order_acquire); }
  std::shared_ptr<const Handler> Get() const {
    std::lock_guard lock(mutex_);
    return handler_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Handler> handler_;
  std::atomic<bool> set_{false};
};

Slot<LogHandler> g_log;
Slot<FolderNotification> g_folders;
thread_local const char* t_method = "";
thread_local bool t_in_handler = false;
thread_local std::vector<Event>* t_waiting = nullptr;  // the innermost method's
thread_local capture::CallListener* t_listener = nullptr;
std::atomic<bool> g_trace{true};

bool Tracing() { return platform::kHasDebuggerOutput && g_trace.load(std::memory_order_relaxed); }

const char* SeverityText(picmeta_severity s) {
  return s == PICMETA_ERROR ? "error" : s == PICMETA_WARNING ? "warning" : "info";
}

// Runs a host callback: whatever it throws is ignored, but a cancelled
// thread unwinds on.
template <class F>
void CallHost(F&& f) {
  try {
    f();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
  }
}

}  // namespace

void SetLogHandler(LogHandler handler) noexcept {
  try {
    g_log.Set(handler ? std::make_shared<const LogHandler>(std::move(handler)) : nullptr);
  } catch (...) {
  }
}

void SetFolderNotification(FolderNotification notification) noexcept {
  try {
    g_folders.Set(notification ? std::make_shared<const FolderNotification>(std::move(notification))
                               : nullptr);
  } catch (...) {
  }
}

namespace capture {

namespace {

void Deliver(const Event& e) {
  if (Tracing())
    platform::WriteToDebugger("Picmeta: " + std::string(SeverityText(e.severity)) + " " +
                              std::to_string(e.code) + " " + e.method + ": " + e.message + " [" +
                              e.path + "]");
  const auto handler = g_log.IsSet() ? g_log.Get() : nullptr;  // called outside the lock
  if (!handler && !t_listener) return;
  t_in_handler = true;
  struct Reset {
    ~Reset() { t_in_handler = false; }
  } reset;
  if (handler) CallHost([&] { (*handler)(e); });
  if (t_listener) CallHost([&] { t_listener->OnEvent(e); });
}

void DeliverWaiting() {
  if (!t_waiting || t_waiting->empty() || t_in_handler || platform::HoldingFolderLock()) return;
  std::vector<Event> waiting;
  waiting.swap(*t_waiting);
  for (const Event& e : waiting) Deliver(e);
}

}  // namespace

MethodScope::MethodScope(const char* method) : previous_(t_method), previous_waiting_(t_waiting) {
  t_method = method;
  t_waiting = &waiting_;
}
// A cancelled call's waiting events go with it.
MethodScope::~MethodScope() {
  t_method = previous_;
  t_waiting = previous_waiting_;
}
void MethodScope::Finish() { DeliverWaiting(); }

ListenerScope::ListenerScope(CallListener* listener) : previous_(t_listener) {
  t_listener = listener;
}
ListenerScope::~ListenerScope() { t_listener = previous_; }

void SetDebuggerTrace(bool on) { g_trace.store(on); }

bool Logging() { return (g_log.IsSet() || t_listener || Tracing()) && !t_in_handler; }

void Emit(int code, const std::string& path, const std::string& message, long long count,
          int os_error) {
  if (!Logging()) return;
  Event e;
  e.code = code;
  e.severity = code >= 300 ? PICMETA_ERROR : code >= 200 ? PICMETA_WARNING : PICMETA_INFO;
  e.method = t_method;
  e.path = path;
  e.message = message;
  e.count = count;
  e.os_error = os_error;
  if (platform::HoldingFolderLock()) {
    // Outside a method nothing waits: the host is never called under a lock.
    if (t_waiting) t_waiting->push_back(std::move(e));
    return;
  }
  DeliverWaiting();
  Deliver(e);
}

void ReportIfUnexpected(std::exception_ptr failure) {
  if (!Logging() || !failure) return;
  try {
    std::rethrow_exception(failure);
  } catch (const reader::ExifError&) {  // a picture that does not read
  } catch (const records::Failure& e) {
    // Each kind is told where it happens; one that reaches here is a fault.
    const char* what = e.kind() == records::FailureKind::kIo ? "a file failure no step told: "
                       : e.kind() == records::FailureKind::kRefused ? "a refusal no step told: "
                                                                    : "unexpected failure: ";
    Emit(PICMETA_EVENT_UNEXPECTED_FAILURE, "", what + std::string(e.what()), -1, e.error());
  } catch (const std::exception& e) {
    Emit(PICMETA_EVENT_UNEXPECTED_FAILURE, "", std::string("unexpected failure: ") + e.what());
  } catch (...) {
    Emit(PICMETA_EVENT_UNEXPECTED_FAILURE, "", "unexpected failure of an unknown kind");
  }
}

bool Accepted(std::initializer_list<Parameter> parameters) {
  for (const auto& [name, value] : parameters) {
    const auto nul = value->find('\0');
    if (nul == std::string::npos) continue;
    Emit(PICMETA_EVENT_PARAMETER_REFUSED, "",
         std::string("parameter ") + name + " holds a NUL character (at " + std::to_string(nul) +
             "): the call does nothing");
    return false;
  }
  return true;
}

std::string Counted(long long n, std::string_view noun) {
  return std::to_string(n) + " " + std::string(noun) + (n == 1 ? "" : "s");
}

void NotifyFolder(const std::string& folder) {
  if (!g_folders.IsSet() && !t_listener) return;
  const std::string native = folder.empty() ? "" : platform::Path::FromText(folder).Native();
  if (const auto current = g_folders.IsSet() ? g_folders.Get() : nullptr)
    CallHost([&] { (*current)(native); });
  if (t_listener && !t_in_handler) {
    t_in_handler = true;
    struct Reset {
      ~Reset() { t_in_handler = false; }
    } reset;
    CallHost([&] { t_listener->OnFolder(native); });
  }
}

}  // namespace capture
}  // namespace picmeta

extern "C" void picmeta_set_log_handler(picmeta_log_handler fn, void* user_data) {
  try {
    if (!fn) {
      picmeta::SetLogHandler(nullptr);
      return;
    }
    picmeta::SetLogHandler([fn, user_data](const picmeta::Event& e) {
      const picmeta_event c{e.code,         e.severity,        e.method.c_str(),
                            e.path.c_str(), e.message.c_str(), e.count,
                            e.os_error};
      fn(&c, user_data);
    });
  } catch (...) {
  }
}
