#ifndef PICMETA_CAPTURE_GUARDED_H
#define PICMETA_CAPTURE_GUARDED_H

#include <cxxabi.h>

#include <exception>
#include <utility>

#include "capture/diagnostics.h"

namespace picmeta::capture {

// What a step throws on once it has told its failure as an event, so that
// the guard says nothing more of it.
struct Reported {};

// Reports a failure that no step told as the error event 399: a fault (an
// invalid query, memory exhausted, a misuse of a file or document), or a file
// that failed where no step said so. A picture that does not read is no
// failure of the step.
void ReportIfUnexpected(std::exception_ptr failure);

// One unit of work in continue-on-error mode (a method, each picture, each
// listed file, each working file): a unit that fails is skipped, whatever it
// would have set keeps its previous value, and the caller goes on with the
// next one. Files that fail are reported where they fail (and throw on
// Reported); any other failure is reported here. Returns whether the unit
// completed.
//
// A thread cancelled inside a call unwinds through here: that is no failure
// of the step, and swallowing it would abort the host's process. For the same
// reason nothing on a method's path is noexcept.
template <class F>
bool Step(F&& step) {
  try {
    std::forward<F>(step)();
    return true;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const Reported&) {
    return false;
  } catch (...) {
    ReportIfUnexpected(std::current_exception());
    return false;
  }
}

// The one guard of a call into the library, whichever way it comes (the C++
// class, the C interface, the COM server): the method's name on the events
// of the call, its body (the arguments' conversion included) as one unit of
// work, and what waited for a folder's lock delivered before it returns.
template <class F>
void Method(const char* name, F&& body) {
  MethodScope scope(name);
  (void)Step(std::forward<F>(body));
  (void)Step([&] { scope.Finish(); });  // (delivering may run short of memory too)
}

}  // namespace picmeta::capture

#endif
