// unscramble and scramble: a hand-over file's byte shift, undone and done.
#include <iostream>

#include "cli.h"
#include "tools/program_support.h"

namespace picmeta::cli {
namespace {

int WriteOutput(const std::string& path, const std::string& bytes, bool force) {
  std::string why;
  switch (tooling::WriteOutput(path, bytes, force, why)) {
    case tooling::Written::kWritten:
      return kDone;
    case tooling::Written::kTaken:
      return Taken(path);
    case tooling::Written::kFailed:
      break;
  }
  std::cerr << "error: " << why << "\n";
  return kNothingWritten;
}

}  // namespace

int Unscramble(const Args& a, Outcome&) {
  if (a.operands.empty() || a.operands.size() > 2) {
    std::cerr << "error: unscramble takes IN and an optional OUT\n";
    return kUsage;
  }
  if (NoFile(a.operands[0], "input")) return kUsage;
  if (a.operands.size() == 2 && SameFile(a.operands[0], a.operands[1])) return kUsage;
  auto bytes = ReadInput(a.operands[0]);
  if (!bytes) return kUsage;
  tooling::Unscramble(*bytes);
  if (bytes->rfind("<?xml", 0) != 0)
    std::cerr << "warning: " << a.operands[0]
              << " does not unscramble to an XML declaration: is it a hand-over file?\n";
  if (a.operands.size() == 2) return WriteOutput(a.operands[1], *bytes, a.Flag("force"));
  const std::string out =
      tooling::StdoutIsTerminal() && !a.Flag("raw") ? tooling::AsUtf8(*bytes) : *bytes;
  std::cout.write(out.data(), static_cast<std::streamsize>(out.size()));
  return std::cout ? kDone : kNothingWritten;
}

int Scramble(const Args& a, Outcome&) {
  if (a.operands.size() != 2) {
    std::cerr << "error: scramble takes IN and OUT\n";
    return kUsage;
  }
  if (NoFile(a.operands[0], "input") || SameFile(a.operands[0], a.operands[1])) return kUsage;
  auto bytes = ReadInput(a.operands[0]);
  if (!bytes) return kUsage;
  if (!tooling::IsRecordDocument(*bytes))
    std::cerr << "warning: " << a.operands[0]
              << " is not a well-formed GBK record document: the receiving side will reject it\n";
  std::string why;
  switch (tooling::ScrambleFile(a.operands[0], a.operands[1], a.Flag("force"), why)) {
    case tooling::Written::kWritten:
      return kDone;
    case tooling::Written::kTaken:
      return Taken(a.operands[1]);
    case tooling::Written::kFailed:
      break;
  }
  std::cerr << "error: " << why << "\n";
  return kNothingWritten;
}

}  // namespace picmeta::cli
