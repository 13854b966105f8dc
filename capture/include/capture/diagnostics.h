#ifndef PICMETA_CAPTURE_DIAGNOSTICS_H
#define PICMETA_CAPTURE_DIAGNOSTICS_H

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "picmeta/clsmain.h"
#include "picmeta/events.h"

// The diagnostics events and the host's folder notification, as the methods
// raise them. Paths in events and notifications are native ("/" on POSIX,
// "\" on Windows): the path field and the paths a message names are spelt
// by platform::Path::Native. With no handler installed an event costs one
// atomic load: callers that would work to build one ask Logging() first.
namespace picmeta::capture {

// Names the method a thread is in, for the events it raises. Events raised
// while the thread holds a folder lock wait until it is released, so that a
// handler that calls the library back cannot wait for that lock; Finish
// delivers what is still waiting when the method is done.
class MethodScope {
 public:
  explicit MethodScope(const char* method);
  ~MethodScope();
  void Finish();
  MethodScope(const MethodScope&) = delete;
  MethodScope& operator=(const MethodScope&) = delete;

 private:
  const char* previous_;
  std::vector<Event>* previous_waiting_;
  // Events raised while the thread holds a folder lock wait here for its
  // release (a thread-local with a destructor is avoided: it is not safe in
  // every runtime the library ships with).
  std::vector<Event> waiting_;
};

// Receives the events and folder notifications of the calls its thread makes
// while a ListenerScope names it (the COM server's connection point: each
// object's sinks hear only that object's calls). It must not throw.
class CallListener {
 public:
  virtual ~CallListener() = default;
  virtual void OnEvent(const Event& event) = 0;
  virtual void OnFolder(const std::string& folder) = 0;
};
class ListenerScope {
 public:
  explicit ListenerScope(CallListener* listener);
  ~ListenerScope();
  ListenerScope(const ListenerScope&) = delete;
  ListenerScope& operator=(const ListenerScope&) = delete;

 private:
  CallListener* previous_;
};

// Every event is also written to the system's debugger output, where it has
// one, as "Picmeta: <severity> <code> <method>: <message> [<path>]". On by
// default; off only for the benchmark that measures what it costs.
void SetDebuggerTrace(bool on);

bool Logging();
// The severity follows from the code (100s info, 200s warning, 300s error).
// `path`: native, or "".
void Emit(int code, const std::string& path, const std::string& message, long long count = -1,
          int os_error = 0);

// Whether no parameter holds a NUL character: a path that the system would
// cut there names another file than the one given. The first that does is
// told (event 214) and the call touches nothing.
using Parameter = std::pair<const char*, const std::string*>;
bool Accepted(std::initializer_list<Parameter> parameters);

// "1 record", "2 records".
std::string Counted(long long n, std::string_view noun);

// Tells the host's folder notification, if one is installed, about a
// collected folder ("\A\B", told in the native spelling). A notification
// that throws is ignored.
void NotifyFolder(const std::string& folder);

}  // namespace picmeta::capture

#endif
