#ifndef PICMETA_TOOLS_CLI_CLI_H
#define PICMETA_TOOLS_CLI_CLI_H

#include <map>
#include <optional>
#include <string>
#include <vector>

// The picmeta program: its commands, each in a source of its own, over the
// public API and the tooling library.
namespace picmeta::cli {

inline constexpr int kDone = 0;
inline constexpr int kNothingWritten = 1;  // a gate, no working file, or an error event
inline constexpr int kUsage = 2;           // wrong usage or a missing input

struct Args {
  std::map<std::string, std::string> options;
  std::vector<std::string> operands;
  std::string Get(const std::string& name) const {
    const auto it = options.find(name);
    return it == options.end() ? std::string() : it->second;
  }
  bool Flag(const std::string& name) const { return options.count(name) > 0; }
};

// What the library told while a command ran.
struct Outcome {
  std::vector<std::string> handovers;
  int saved = 0;
  bool error = false;
};

// The commands (methods.cpp, files.cpp, show.cpp, demo.cpp).
int ReadExif(const Args&, Outcome&);
int Write(const Args&, Outcome&);
int NewWrite(const Args&, Outcome&);
int Delete(const Args&, Outcome&);
int Copy(const Args&, Outcome&);
int Unscramble(const Args&, Outcome&);
int Scramble(const Args&, Outcome&);
int Show(const Args&, Outcome&);
int Demo(const Args&, Outcome&);

// Checks of the inputs, each telling the operator what is wrong (checks.cpp).
// A folder option is a method's parameter ("/" and "\\" separate); a file
// operand is the system's own path.
bool NoFolder(const std::string& parameter, const char* what);
bool NoFile(const std::string& operand, const char* what);
bool NoParameterFile(const std::string& parameter, const char* what);
// IN and OUT naming one file would lose IN: refused.
bool SameFile(const std::string& in, const std::string& out);
std::optional<std::string> ReadInput(const std::string& operand);
int Taken(const std::string& path);
// The exit status of a method's command.
int Finish(const Outcome& o, bool wrote);
int PrintHandOvers(const Outcome& o);

}  // namespace picmeta::cli

#endif
