#ifndef PICMETA_PLATFORM_OS_CONSOLE_H
#define PICMETA_PLATFORM_OS_CONSOLE_H

#include <string>
#include <vector>

// What a command-line program needs of its console.
namespace picmeta::platform {

// The program's arguments in UTF-8, whatever the system's code page (on
// Windows taken from the wide command line).
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Whether standard output is a terminal.
bool StdoutIsTerminal();

}  // namespace picmeta::platform

#endif
