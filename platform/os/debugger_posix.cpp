// POSIX systems have no debugger output: the events reach a host through its
// handler alone.
#include "platform/os/debugger.h"

namespace picmeta::platform {

const bool kHasDebuggerOutput = false;

void WriteToDebugger(std::string_view) {}

}  // namespace picmeta::platform
