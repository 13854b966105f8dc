#ifndef PICMETA_CAPTURE_GUARDED_H
#define PICMETA_CAPTURE_GUARDED_H

#include <cxxabi.h>

#include <exception>
#include <utility>

namespace picmeta::capture {

// Reports a failure that no step expects (a fault in the library, not a
// missing file or a broken document) as an error event.
void ReportIfUnexpected(std::exception_ptr failure);

// One step of a method in continue-on-error mode: a step that fails is
// skipped, whatever it would have set keeps its previous value, and the
// caller goes on with the next step. Returns whether the step completed.
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
