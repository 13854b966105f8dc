#ifndef PICMETA_CAPTURE_GUARDED_H
#define PICMETA_CAPTURE_GUARDED_H

#include <cxxabi.h>

#include <exception>
#include <utility>

namespace picmeta::capture {

// Reports a failure that is a fault and no input's (an invalid query, memory
// exhausted, a misuse of a file or document, anything but a file that failed
// or a picture that does not read) as the error event 399.
void ReportIfUnexpected(std::exception_ptr failure);

// One unit of work in continue-on-error mode (a method, each picture, each
// listed file, each working file): a unit that fails is skipped, whatever it
// would have set keeps its previous value, and the caller goes on with the
// next one. Files that fail are reported where they fail; any other failure
// is reported here. Returns whether the unit completed.
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
  } catch (...) {
    ReportIfUnexpected(std::current_exception());
    return false;
  }
}

}  // namespace picmeta::capture

#endif
