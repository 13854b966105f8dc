#include <windows.h>
// shellapi.h needs windows.h first.
#include <io.h>
#include <shellapi.h>

#include <cstdio>

#include "platform/os/console.h"
#include "platform/os/utf16.h"

namespace picmeta::platform {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int n = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
  if (!wide) return {argv, argv + argc};
  std::vector<std::string> args;
  for (int i = 0; i < n; ++i) args.push_back(Utf8(wide[i]));
  ::LocalFree(wide);
  return args;
}

bool StdoutIsTerminal() { return ::_isatty(::_fileno(stdout)) != 0; }

}  // namespace picmeta::platform
