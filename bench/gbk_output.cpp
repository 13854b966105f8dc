// GBK output throughput of the record writer, for the platform's converter behind
// it (iconv on Linux, code page 936 on Windows): an 8 MiB value of one kind of
// character, written three times, the best time kept. Built with the Windows
// tests: build-windows/<arch>/tests/picmeta_gbk_bench.exe, run under Wine.
#include <chrono>
#include <cstdio>
#include <string>

#include "platform/xml/record_reader.h"
#include "platform/xml/record_writer.h"
#include "records/record_document.h"
using namespace picmeta::platform;
int main() {
  struct Case {
    const char* name;
    std::string unit;
  } cases[] = {{"ascii", "a"},
               {"chinese", "\xE4\xB8\xAD"},
               {"C1 references", "\xC2\x85"},
               {"emoji references", "\xF0\x9F\x98\x80"},
               {"private-use references", "\xEE\x80\x80"}};
  for (const auto& c : cases) {
    std::string value;
    while (value.size() < 8u << 20) value += c.unit;
    XmlFrame frame;
    if (!picmeta::records::RecordFrame(frame)) return 1;
    double best = 1e9;
    for (int r = 0; r < 3; ++r) {
      XmlItemWriter w;
      std::size_t bytes = 0;
      const auto t0 = std::chrono::steady_clock::now();
      auto info = XmlItem::Element("info");
      info.SetAttribute("Make", value);
      if (!w.Begin(frame, [&](std::string_view b) { bytes += b.size(); }) || !w.Write(info) ||
          !w.End()) {
        std::printf("%s: refused\n", c.name);
        return 1;
      }
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      if (s < best) best = s;
    }
    std::printf("%-24s %8.0f MB/s of UTF-8 input\n", c.name, value.size() / best / 1e6);
  }
}
