#ifndef PICMETA_PLATFORM_OS_DEBUGGER_H
#define PICMETA_PLATFORM_OS_DEBUGGER_H

#include <string_view>

// The system's debugger output, where it has one (Windows: what DebugView
// and any attached debugger show), for support staff who cannot change the
// host.
namespace picmeta::platform {

// Whether the system has a debugger output.
extern const bool kHasDebuggerOutput;

// Writes one line of UTF-8 text there (in UTF-16 on Windows); nothing where
// there is none.
void WriteToDebugger(std::string_view line);

}  // namespace picmeta::platform

#endif
