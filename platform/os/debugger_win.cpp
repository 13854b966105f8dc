// The debugger output on Windows: OutputDebugStringW, one line at a time.
#include <windows.h>

#include <string>

#include "platform/os/debugger.h"
#include "platform/os/utf16.h"

namespace picmeta::platform {

const bool kHasDebuggerOutput = true;

void WriteToDebugger(std::string_view line) {
  std::wstring wide = Utf16(line);
  wide += L"\n";
  ::OutputDebugStringW(wide.c_str());
}

}  // namespace picmeta::platform
