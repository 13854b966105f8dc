// show: the values the library would store for each picture.
#include <cstdio>
#include <iostream>

#include "cli.h"
#include "tools/program_support.h"

namespace picmeta::cli {
namespace {

std::string Escaped(const std::string& s, bool json) {
  std::string out;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' && json) {
      out += "\\\"";
    } else if (c == '\\' && json) {
      out += "\\\\";
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, json ? "\\u%04x" : "\\x%02x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace

int Show(const Args& a, Outcome&) {
  if (a.operands.empty()) {
    std::cerr << "error: show needs at least one PICTURE\n";
    return kUsage;
  }
  const bool json = a.Flag("json");
  bool missing = false;
  std::size_t shown = 0;
  if (json) std::cout << "[";
  for (const std::string& path : a.operands) {
    // Every picture that is there is shown; each one that is not gets its line.
    if (NoFile(path, "picture")) {
      missing = true;
      continue;
    }
    const std::size_t i = shown++;
    if (json) {
      std::cout << (i ? ",\n " : "\n ") << "{\"path\": \"" << Escaped(path, true) << "\"";
    } else {
      std::cout << (i ? "\n" : "") << path << "\n";
    }
    for (const auto& [name, stored] : tooling::PictureValues(path)) {
      if (json) {
        std::cout << ", \"" << name << "\": \"" << Escaped(stored, true) << "\"";
      } else {
        std::cout << "  " << name << std::string(14 - name.size(), ' ') << Escaped(stored, false)
                  << "\n";
      }
    }
    if (json) std::cout << "}";
  }
  if (json) std::cout << (shown ? "\n]\n" : "]\n");
  return missing ? kUsage : kDone;
}

}  // namespace picmeta::cli
