#ifndef PICMETA_CAPTURE_GUARDED_H
#define PICMETA_CAPTURE_GUARDED_H

#include <utility>

namespace picmeta::capture {

// One step of a method in continue-on-error mode: a step that fails is
// skipped, whatever it would have set keeps its previous value, and the
// caller goes on with the next step. Returns whether the step completed.
template <class F>
bool Step(F&& step) noexcept {
  try {
    std::forward<F>(step)();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace picmeta::capture

#endif
