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
    out.emplace_back("loop-" + tag, BuildJpeg(HandTiff(o,
                                                       [](ByteWriter& w) {
                                                         w.U16(1), w.U16(0x8769), w.U16(4),
                                                             w.U32(1), w.U32(8), w.U32(8);
                                                       }),
                                              JpegOptions{false, "", 8, 1}));
    out.emplace_back("huge-count-" + tag, BuildJpeg(HandTiff(o,
                                                             [](ByteWriter& w) {
                                                               w.U16(0xFFFF);
                                                               for (int i = 0; i < 40; ++i)
                                                                 w.U16(0xFFFF);
                                                             }),
                                                    JpegOptions{false, "", 8, 1}));
    out.emplace_back("count-overflow-" + tag, BuildJpeg(HandTiff(o,
                                                                 [](ByteWriter& w) {
                                                                   w.U16(1), w.U16(0x010F),
                                                                       w.U16(4), w.U32(0x40000000),
                                                                       w.U32(8), w.U32(0);
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

// Pictures and XML files of the shapes that broke readers and parsers before;
// replayed by the test suite.
void Hostile(const fs::path& dir) {
  for (const Order o : {Order::kIntel, Order::kMotorola}) {
    const std::string t = o == Order::kIntel ? "-ii" : "-mm";
    const JpegOptions tail{false, "", 8, 1};
    Seed(dir / "pictures", "directory-loop" + t,
         BuildJpeg(HandTiff(o,
                            [](ByteWriter& w) {
                              w.U16(1), w.U16(0x0110), w.U16(3), w.U32(1), w.U32(1), w.U32(26);
                              w.U16(1), w.U16(0x0201), w.U16(4), w.U32(1), w.U32(7), w.U32(8);
                            }),
                   tail));
    Seed(dir / "pictures", "entries-65535" + t,
         BuildJpeg(HandTiff(o,
                            [](ByteWriter& w) {
                              w.U16(0xFFFF);
                              for (int i = 0; i < 30000; ++i) w.U16(0x0A0A);
                            }),
                   tail));
    Seed(dir / "pictures", "offset-past-end" + t,
         BuildJpeg(HandTiff(o,
                            [](ByteWriter& w) {
                              w.U16(2), w.U16(0x010F), w.U16(2), w.U32(64), w.U32(0x7FFFFF00);
                              w.U16(0x0110), w.U16(2), w.U32(64), w.U32(0x00100000),
                                  w.U32(0x7FFFFFF0);
                            }),
                   tail));
    Seed(dir / "pictures", "count-times-size-overflows" + t,
         BuildJpeg(HandTiff(o,
                            [](ByteWriter& w) {
                              w.U16(2), w.U16(0x0112), w.U16(3), w.U32(0x7FFFFFFF), w.U32(8);
                              w.U16(0x0100), w.U16(4), w.U32(0x40000001), w.U32(8), w.U32(0);
                            }),
                   tail));
    Seed(dir / "pictures", "long-2-to-31" + t,
         BuildJpeg(HandTiff(o,
                            [](ByteWriter& w) {
                              w.U16(2), w.U16(0x8769), w.U16(4), w.U32(1), w.U32(0x80000000u);
                              w.U16(0x0100), w.U16(4), w.U32(1), w.U32(0xFFFFFFFFu), w.U32(0);
                            }),
                   tail));
    Seed(dir / "pictures", "ifd0-offset-2-to-31" + t,
         BuildJpeg(HandTiff(o,
                            [](ByteWriter& w) {
                              w.bytes().resize(4);
                              w.U32(0x80000008u);
                            }),
                   tail));
    Seed(dir / "pictures", "exif-pointer-wraps" + t,
         BuildJpeg(HandTiff(o,
                            [](ByteWriter& w) {
                              w.U16(1), w.U16(0x8769), w.U16(4), w.U32(1), w.U32(0x7FFFFFFF),
                                  w.U32(0);
                            }),
                   tail));
  }
  CameraPicture p;
  p.image_bytes = 16;
  const std::string camera = BuildCameraJpeg(p);
  Seed(dir / "pictures", "truncated-app1", camera.substr(0, 40));
  Seed(dir / "pictures", "truncated-in-ifd", camera.substr(0, 100));
  Seed(dir / "pictures", "pair-in-last-bytes", std::string("\xFF\xD8\0\0\0\0\0\0\xFF\xE1", 10));
  Seed(dir / "pictures", "pair-in-last-byte", std::string("\xFF\xD8\0\0\0\0\0\0\0\xFF", 10));
  Seed(dir / "pictures", "zero-bytes", "");
  Seed(dir / "pictures", "one-byte", "\xFF");

  std::string bomb = "<?xml version='1.0'?><!DOCTYPE root [<!ENTITY a0 'aaaaaaaaaa'>";
  for (int i = 1; i < 10; ++i) {
    bomb += "<!ENTITY a" + std::to_string(i) + " '";
    for (int k = 0; k < 10; ++k) bomb += "&a" + std::to_string(i - 1) + ";";
    bomb += "'>";
  }
  bomb += "]><root><info Filename='&a9;'/></root>";
  Seed(dir / "xml", "entity-bomb", bomb);
  Seed(
      dir / "xml", "quadratic-blowup",
      "<!DOCTYPE root [<!ENTITY a '" + std::string(50000, 'a') + "'>]><root><info Filename='" +
          [] {
            std::string s;
            for (int i = 0; i < 2000; ++i) s += "&a;";
            return s;
          }() +
          "'/></root>");
  Seed(dir / "xml", "external-entity",
       "<!DOCTYPE root [<!ENTITY x SYSTEM 'file:///etc/passwd'>]><root><info "
       "Filename='&x;'/></root>");
  Seed(dir / "xml", "external-dtd", "<!DOCTYPE root SYSTEM 'file:///etc/passwd'><root/>");
  Seed(dir / "xml", "parameter-entity",
       "<!DOCTYPE root [<!ENTITY % p SYSTEM 'file:///etc/hostname'> %p;]><root/>");
  Seed(dir / "xml", "gbk-invalid-sequences",
       "<?xml version='1.0' encoding='GBK'?><root><info Filename='\x81\x20\xFF\xFE.jpg'/></root>");
  Seed(dir / "xml", "gbk-truncated",
       "<?xml version='1.0' encoding='GBK'?><root><info Filename='\xD5'/></root>");
  Seed(dir / "xml", "xinclude",
       "<root xmlns:xi='http://www.w3.org/2001/XInclude'><xi:include href='/etc/passwd' "
       "parse='text'/></root>");
  Seed(dir / "xml", "nul-byte", std::string("<root><info Filename='a\0b'/></root>", 35));
  Seed(dir / "xml", "utf8-invalid", "<root><info Filename='\xC3\x28\xED\xA0\x80'/></root>");
  Seed(dir / "xml", "utf16-bom", std::string("\xFF\xFE<\0r\0/\0>\0", 10));
  Seed(dir / "xml", "utf16-odd-length", std::string("\xFF\xFE<\0r\0/\0>", 9));
  {
    std::string utf16 = "\xFF\xFE";
    for (const char ch : std::string("<?xml version='1.0' encoding='GRK'?><root/>"))
      utf16 += std::string{ch, '\0'};
    Seed(dir / "xml", "bom-with-unknown-declared-encoding", utf16);
  }
  Seed(dir / "xml", "unknown-encoding", "<?xml version='1.0' encoding='X-NONE'?><root/>");
  Seed(dir / "xml", "bad-character-reference", "<root><info Filename='&#1;&#xFFFE;'/></root>");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: make_seeds CORPUS_ROOT [HOSTILE_DIR]\n");
    return 2;
  }
  if (argc == 3) Hostile(argv[2]);
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
       "</doctypeinforecord></subcalsscodeinforecord></busiinforecord></busiinfoprocess>" +
           cut + "<documentinfo><filename resourcemainindex='1' name='a.jpg'/></documentinfo>" +
           cut + "<documentinfo><filename relativepath='top/case'/></documentinfo>" + cut +
           "<kelexplorerinfo><folder name='case'><busiindex><component name='busitype' "
           "value='2'/><component name='classcode' value='11020000'/></busiindex></folder>"
           "</kelexplorerinfo>" +
           cut + "<kelexplorerinfo><file name='a.jpg' processflag='1'/></kelexplorerinfo>");
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
