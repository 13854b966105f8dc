#include <iostream>

#include "cli.h"
#include "tools/program_support.h"

namespace picmeta::cli {
namespace {

bool Missing(bool present, const std::string& what, const std::string& path) {
  if (present) return false;
  std::cerr << "error: " << what << " '" << path << "' does not exist\n";
  return true;
}

bool NotAFile(tooling::Entry entry, const std::string& path, const char* what) {
  if (entry == tooling::Entry::kFolder) {
    std::cerr << "error: " << what << " '" << path << "' is a folder, not a file\n";
    return true;
  }
  return Missing(entry == tooling::Entry::kFile, what, path);
}

}  // namespace

bool NoFolder(const std::string& parameter, const char* what) {
  return Missing(tooling::ParameterEntry(parameter) == tooling::Entry::kFolder,
                 std::string(what) + " folder", parameter);
}

bool NoFile(const std::string& operand, const char* what) {
  return NotAFile(tooling::OperandEntry(operand), operand, what);
}

bool NoParameterFile(const std::string& parameter, const char* what) {
  return NotAFile(tooling::ParameterEntry(parameter), parameter, what);
}

bool SameFile(const std::string& in, const std::string& out) {
  if (!tooling::SameFile(in, out)) return false;
  std::cerr << "error: IN and OUT are the same file\n";
  return true;
}

std::optional<std::string> ReadInput(const std::string& operand) {
  std::string why;
  auto bytes = tooling::ReadInput(operand, why);
  if (!bytes) std::cerr << "error: cannot read '" << operand << "': " << why << "\n";
  return bytes;
}

int Taken(const std::string& path) {
  std::cerr << "error: '" << path << "' exists; --force replaces it\n";
  return kUsage;
}

int Finish(const Outcome& o, bool wrote) { return wrote && !o.error ? kDone : kNothingWritten; }

int PrintHandOvers(const Outcome& o) {
  for (const auto& path : o.handovers) std::cout << path << "\n";
  return Finish(o, !o.handovers.empty());
}

}  // namespace picmeta::cli
