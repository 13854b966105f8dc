// demo: a sample case, ReadEXIF on it, and its records.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <random>

#include "cli.h"
#include "picmeta/clsmain.h"
#include "tools/program_support.h"
#include "tools/sample_case.h"

namespace picmeta::cli {

int Demo(const Args& a, Outcome& o) {
  if (a.operands.size() > 1) {
    std::cerr << "error: demo takes at most one DIR\n";
    return kUsage;
  }
  std::string root;
  if (a.operands.empty()) {
    // A new folder of a random name, never one that exists.
    std::random_device random;
    std::error_code ec;
    for (int attempt = 0; attempt < 100 && root.empty(); ++attempt) {
      char name[32];
      std::snprintf(name, sizeof name, "picmeta-demo-%08x", static_cast<unsigned>(random()));
      const auto candidate = std::filesystem::temp_directory_path(ec) / name;
      if (!ec && std::filesystem::create_directory(candidate, ec) && !ec) {
        const std::u8string utf8 = candidate.u8string();
        root.assign(utf8.begin(), utf8.end());
      }
    }
    if (root.empty()) {
      std::cerr << "error: cannot create a temporary folder\n";
      return kNothingWritten;
    }
  } else {
    root = a.operands[0];
    // The sample case's files would replace a case's own: only a new or empty folder.
    std::error_code ec;
    const std::filesystem::path dir(
        std::u8string(root.begin(), root.end()));  // UTF-8 on every platform
    if (std::filesystem::exists(dir, ec) &&
        (!std::filesystem::is_directory(dir, ec) || !std::filesystem::is_empty(dir, ec))) {
      std::cerr << "error: demo: '" << root
                << "' is not an empty folder: the sample case would overwrite what is there; "
                   "give a new or empty folder\n";
      return kUsage;
    }
  }
  tooling::SampleCase c;
  try {
    c = tooling::BuildSampleCase(root);
  } catch (const std::exception& e) {
    std::cerr << "error: cannot build the sample case in '" << root << "': " << e.what() << "\n";
    return kNothingWritten;
  }
  std::cout << "sample case in " << root << "\n  workspace     " << c.app_path
            << "\n  picture tree  " << c.temp_path << "\n\n";
  clsmain().ReadEXIF(c.temp_path, c.app_path, "2", "", c.orgid, "31000", c.operno, c.opername,
                     "2011-08-11 14:30:05", "CLAIMS", "survey", "10.0.0.8");
  if (o.handovers.empty()) {
    std::cerr << "error: ReadEXIF wrote no hand-over file\n";
    return kNothingWritten;
  }
  const std::string path = o.handovers.back();
  auto bytes = ReadInput(path);
  if (!bytes) return kNothingWritten;
  tooling::Unscramble(*bytes);
  std::cout << "ReadEXIF wrote " << path << "\nunscrambled, as UTF-8:\n\n"
            << tooling::AsUtf8(*bytes)
            << "\nHow to read it: the seven records follow the case tree of busiinfoprocess.xml\n"
               "(level-4 documents before their level-3 folder, before level 2). scan.jpg has no\n"
               "Exif block, so only its file values are filled. The two records with an empty\n"
               "Filename stand for documents without a picture: resource index R9 is missing\n"
               "from resourceprocess.xml, and missing.jpg is named there but not on disk.\n"
               "Every attribute is explained in docs/records.md.\n";
  return kDone;
}

}  // namespace picmeta::cli
