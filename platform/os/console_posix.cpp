#include <unistd.h>

#include "platform/os/console.h"

namespace picmeta::platform {

std::vector<std::string> ProgramArguments(int argc, char** argv) { return {argv, argv + argc}; }

bool StdoutIsTerminal() { return ::isatty(1) != 0; }

}  // namespace picmeta::platform
