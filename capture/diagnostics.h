#ifndef PICMETA_CAPTURE_DIAGNOSTICS_H
#define PICMETA_CAPTURE_DIAGNOSTICS_H

#include <string>
#include <string_view>
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

bool Logging();
// The severity follows from the code (100s info, 200s warning, 300s error).
// `path`: native, or "".
void Emit(int code, const std::string& path, const std::string& message, long long count = -1,
          int os_error = 0);

// "1 record", "2 records".
std::string Counted(long long n, std::string_view noun);

// Tells the host's folder notification, if one is installed, about a
// collected folder ("\A\B", told in the native spelling). A notification
// that throws is ignored.
void NotifyFolder(const std::string& folder);

}  // namespace picmeta::capture

#endif
