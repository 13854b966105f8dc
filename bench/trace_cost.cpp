// What the debugger trace costs a ReadEXIF when nobody listens: a case of
// 2 000 camera pictures (all with an Exif block: one event, the hand-over's;
// then one in ten without, each of those an event too), recorded with the
// trace on and off, alternately, five times each; the medians. Built with the
// Windows tests:
// build-windows/<arch>/tests/picmeta_trace_bench.exe, run under Wine.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "capture/diagnostics.h"
#include "picmeta/clsmain.h"
#include "tools/exif_builder.h"

namespace fs = std::filesystem;
using namespace picmeta;

namespace {

void Measure(int without_exif_every) {
  const fs::path root = fs::temp_directory_path() / "picmeta-trace-bench";
  fs::remove_all(root);
  fs::create_directories(root / "app");
  fs::create_directories(root / "pictures" / "top" / "sub" / "A");
  constexpr int kPictures = 2000;
  const std::string camera = tooling::BuildCameraJpeg({});
  const std::string plain = tooling::BuildJfif({});
  std::string busi =
      "<busiinfoprocess><busiinforecord foldername='top'>"
      "<subcalsscodeinforecord foldername='sub'><doctypeinforecord foldername='A'>"
      "<documentinfo><relationship>";
  std::string names = "<documentinfo>";
  int events = 1;
  for (int i = 0; i < kPictures; ++i) {
    const std::string index = "R" + std::to_string(i), name = "p" + std::to_string(i) + ".jpg";
    busi += "<resourcemainindex resourcemainindex='" + index + "'/>";
    names += "<filename resourcemainindex='" + index + "' name='" + name + "'/>";
    const bool no_exif = without_exif_every > 0 && i % without_exif_every == without_exif_every - 1;
    events += no_exif ? 1 : 0;
    tooling::WriteFile((root / "pictures" / "top" / "sub" / "A" / name).string(),
                       no_exif ? plain : camera);
  }
  busi +=
      "</relationship></documentinfo></doctypeinforecord></subcalsscodeinforecord>"
      "</busiinforecord></busiinfoprocess>";
  tooling::WriteFile((root / "app" / "busiinfoprocess.xml").string(), busi);
  tooling::WriteFile((root / "app" / "resourceprocess.xml").string(), names + "</documentinfo>");
  // The hand-over files of each run are removed, so that every run writes one.
  std::size_t bytes = 0;
  auto run = [&](bool trace) {
    capture::SetDebuggerTrace(trace);
    const auto t0 = std::chrono::steady_clock::now();
    clsmain().ReadEXIF((root / "pictures").string(), (root / "app").string(), "2", "11020000",
                       "3100000ABCDEF001", "", "0815", "", "", "", "", "");
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (const auto& e : fs::directory_iterator(root / "app"))
      if (e.path().filename().string().rfind("exif_", 0) == 0) {
        bytes = fs::file_size(e.path());
        fs::remove(e.path());
      }
    return s;
  };
  run(true);  // warms the page cache
  std::vector<double> on, off;
  for (int r = 0; r < 5; ++r) {
    on.push_back(run(true));
    off.push_back(run(false));
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  const double with = median(on), without = median(off);
  std::printf(
      "ReadEXIF of %d pictures, %4d events (a %zu-byte hand-over): trace on %.3f s, off %.3f s "
      "(%+.1f%%, %.0f us per event)\n",
      kPictures, events, bytes, with, without, 100 * (with - without) / without,
      (with - without) * 1e6 / events);
  fs::remove_all(root);
}

}  // namespace

int main() {
  Measure(0);
  Measure(10);
}
