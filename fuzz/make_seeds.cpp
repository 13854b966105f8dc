// Writes the seed corpora of the fuzz targets: pictures from the builder,
// hostile directory shapes, workspace and record files.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/exif_builder.h"
#include "tools/sample_case.h"

namespace {

using namespace picmeta::tooling;
namespace fs = std::filesystem;

void Seed(const fs::path& dir, const std::string& name, const std::string& bytes) {
  fs::create_directories(dir);
  WriteFile((dir / name).string(), bytes);
}

std::string Read(const fs::path& p) {
  std::FILE* f = std::fopen(p.c_str(), "rb");
  std::string s;
  if (!f) return s;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  std::fclose(f);
  return s;
}

std::string Tiff(Order o, void (*body)(ByteWriter&)) {
  ByteWriter w(o);
  w.Raw(o == Order::kIntel ? "II" : "MM");
  w.U16(42);
  w.U32(8);
  body(w);
  return w.bytes();
}

std::vector<std::pair<std::string, std::string>> Pictures() {
  std::vector<std::pair<std::string, std::string>> out;
  for (const Order o : {Order::kIntel, Order::kMotorola}) {
    const std::string tag = o == Order::kIntel ? "ii" : "mm";
    CameraPicture p;
    p.order = o;
    p.image_bytes = 256;
    p.thumbnail_bytes = 64;
    p.maker_note_bytes = 32;
    const std::string camera = BuildCameraJpeg(p);
    out.emplace_back("camera-" + tag, camera);
    out.emplace_back("truncated-" + tag, camera.substr(0, 120));
    JpegOptions app0;
    app0.app0_before = true;
    app0.image_bytes = 16;
    TiffLayout t;
    t.order = o;
    t.chain = {Ifd{{Short(0x0112, 1), Bytes(1, "\x01\x02\x03\x04\x05"),
                    Entry{3, 3, 3, std::string("\x01\x02\x03\0\0\0", 6), std::nullopt, 0},
                    Entry{4, 4, 1, std::string("\0\0\0\x80", 4), std::nullopt, 0}}}};
    out.emplace_back("types-" + tag, BuildJpeg(BuildTiff(t), app0));
    out.emplace_back("loop-" + tag, BuildJpeg(Tiff(o, [](ByteWriter& w) {
                                                w.U16(1), w.U16(0x8769), w.U16(4), w.U32(1),
                                                    w.U32(8), w.U32(8);
                                              }),
                                              JpegOptions{false, "", 8, 1}));
    out.emplace_back("huge-count-" + tag, BuildJpeg(Tiff(o, [](ByteWriter& w) {
                                                      w.U16(0xFFFF);
                                                      for (int i = 0; i < 40; ++i) w.U16(0xFFFF);
                                                    }),
                                                    JpegOptions{false, "", 8, 1}));
    out.emplace_back("count-overflow-" + tag,
                     BuildJpeg(Tiff(o, [](ByteWriter& w) {
                                 w.U16(1), w.U16(0x010F), w.U16(4), w.U32(0x40000000), w.U32(8),
                                     w.U32(0);
                               }),
                               JpegOptions{false, "", 8, 1}));
  }
  JpegOptions stray;
  stray.app0_before = true;
  stray.app0_payload = "\xFF\xE1";
  out.emplace_back("stray-pair", BuildJfif(stray));
  out.emplace_back("jfif", BuildJfif(JpegOptions{false, "", 64, 2}));
  out.emplace_back("pair-at-end", std::string("\xFF\xD8\0\0\0\0\xFF\xE1", 8));
  out.emplace_back("empty", "");
  out.emplace_back("one-byte", "\xFF");
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds CORPUS_ROOT\n");
    return 2;
  }
  const fs::path root = argv[1];
  for (const auto& [name, bytes] : Pictures()) {
    Seed(root / "exif_reader", name, bytes);
    Seed(root / "picture", name, bytes);
  }
  const fs::path scratch = fs::temp_directory_path() / "picmeta-seeds";
  fs::remove_all(scratch);
  const SampleCase c = BuildSampleCase(scratch.string());
  const std::string cut = "\n--8<--\n";
  const std::string sample = Read(c.app_path + "/busiinfoprocess.xml") + cut +
                             Read(c.app_path + "/resourceprocess.xml") + cut +
                             Read(c.app_path + "/documentfilesource.xml") + cut +
                             Read(c.app_path + "/top/kelexplorersource.xml") + cut +
                             Read(c.case_folder + "/kelexplorersource.xml");
  Seed(root / "workspace", "sample-case", sample);
  Seed(root / "workspace", "small",
       "<busiinfoprocess><busino>C</busino><busiinforecord classcode='11020000' foldername='R'>"
       "<subcalsscodeinforecord foldername='S'><doctypeinforecord foldername='A'><documentinfo>"
       "<relationship><resourcemainindex resourcemainindex='1'/></relationship></documentinfo>"
       "</doctypeinforecord></subcalsscodeinforecord></busiinforecord></busiinfoprocess>" + cut +
           "<documentinfo><filename resourcemainindex='1' name='a.jpg'/></documentinfo>" + cut +
           "<documentinfo><filename relativepath='top/case'/></documentinfo>" + cut +
           "<kelexplorerinfo><folder name='case'><busiindex><component name='busitype' "
           "value='2'/><component name='classcode' value='11020000'/></busiindex></folder>"
           "</kelexplorerinfo>" + cut +
           "<kelexplorerinfo><file name='a.jpg' processflag='1'/></kelexplorerinfo>");
  Seed(root / "record_file", "records",
       "<?xml version='1.0' encoding='GBK'?><root><info Filename='a.jpg' Make='Canon'/>"
       "<info Filename='b.jpg'/><info Filename='a.jpg'/><info/></root>");
  Seed(root / "record_file", "gbk",
       std::string("<?xml version=\"1.0\" encoding=\"GBK\"?><root><info Filename=\"") +
           "\xD5\xC5\xC8\xFD.jpg" + "\" Opername=\"\xD5\xC5\xC8\xFD\"/></root>");
  Seed(root / "record_file", "foreign-root", "<records><info Filename='a.jpg'/></records>");
  Seed(root / "record_file", "doctype",
       "<!DOCTYPE root [<!ENTITY a 'b'>]><root><info Filename='&a;'/></root>");
  Seed(root / "record_file", "utf16-declared",
       "<?xml version='1.0' encoding='UTF-8'?><root><info Filename='\xC3\xA9.jpg'/></root>");
  Seed(root / "record_file", "broken", "<root><info Filename='a.jpg'>");
  fs::remove_all(scratch);
  return 0;
}
