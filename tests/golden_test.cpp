// The record files of a fixed sequence of calls, compared byte for byte with
// files kept in tests/golden. They were made by the tree-building writer the
// streaming one replaced; set PICMETA_WRITE_GOLDEN to a folder to write them
// there instead of comparing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "picmeta/clsmain.h"
#include "platform/xml/document.h"
#include "scramble/encrypt.h"
#include "tests/support.h"
#include "tools/exif_builder.h"
#include "tools/sample_case.h"

namespace picmeta {
namespace {

namespace fs = std::filesystem;

// Creation times come from the file system and cannot be set.
std::string WithoutCreationTimes(const std::string& bytes) {
  static const std::regex created("Datecreat=\"[^\"]*\"");
  return std::regex_replace(bytes, created, "Datecreat=\"\"");
}

std::string OnlyFile(const std::string& folder, const std::string& prefix) {
  for (const auto& name : test::List(folder))
    if (name.rfind(prefix, 0) == 0) return folder + "/" + name;
  return {};
}

class Golden : public ::testing::Test {
 protected:
  void SetUp() override {
    case_ = tooling::BuildSampleCase(dir_.path());
    // Exif texts with characters GBK has, lacks, and XML cannot carry.
    tooling::CameraPicture odd;
    odd.make = "Caf\xE9 \x80\x85\xFF";  // Latin-1 bytes, as cameras write them
    odd.model = "Model \"A&B\" <1>\t2";
    odd.software = std::string("soft\x01ware", 9);
    test::Write(case_.case_folder + "/张三 é€.jpg", tooling::BuildCameraJpeg(odd));
    test::Write(case_.case_folder + "/plain.jpg", tooling::BuildCameraJpeg({}));
    for (const auto& entry : fs::recursive_directory_iterator(test::P(dir_.path())))
      if (entry.is_regular_file()) test::SetModified(test::U8(entry.path()), 1312336800);
  }

  void Check(const std::string& name, const std::string& bytes) {
    const std::string normalised = WithoutCreationTimes(bytes);
    if (const char* out = std::getenv("PICMETA_WRITE_GOLDEN")) {
      test::Write(std::string(out) + "/" + name, normalised);
      return;
    }
    EXPECT_EQ(normalised, test::Read(std::string(PICMETA_SOURCE_DIR) + "/tests/golden/" + name))
        << name;
  }

  void NewWrite(const std::string& picture, const std::string& opername) {
    clsmain().NewWriteDatatoXML(case_.app_path, picture, case_.orgid, "31000", case_.operno,
                                opername, "2011-08-11 14:30:05");
  }

  test::FixedClock clock_;
  test::TempDir dir_;
  tooling::SampleCase case_;
};

TEST_F(Golden, WorkingFilesAndHandOversKeepTheirBytes) {
  const std::string exifinfo = case_.case_folder + "/exifinfo.xml";
  clsmain().WriteDatatoXML(case_.app_path, case_.orgid, "31000", case_.operno, "张三 é€😀\x7f",
                           "2011-08-11 14:30:05");
  NewWrite(case_.case_folder + "/张三 é€.jpg", "李四 & <王五> \"ÿ\" \t\n");
  NewWrite(case_.case_folder + "/plain.jpg", "");
  NewWrite(case_.case_folder + "/IMG_0001.JPG", "refreshed");
  clsmain().DeleteDatafromXML(case_.case_folder, "IMG_0002.JPG");
  Check("exifinfo-working.xml", test::Read(exifinfo));

  // A working file of another program: UTF-8, comments, a foreign element.
  const std::string other = case_.case_folder + "/other";
  test::Write(other + "/exifinfo.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- kept -->\n<root>\n"
              "  <info Filename='x.jpg' Extra='é€😀' Make=\"&amp;&#9;\"/>\n  <!-- note -->\n"
              "  <note lang='zh'>张三</note>\n  <info Filename='y.jpg'/>\n</root>\n");
  test::Write(other + "/y.jpg", tooling::BuildCameraJpeg({}));
  NewWrite(other + "/y.jpg", "张三");
  clsmain().DeleteDatafromXML(other, "x.jpg");
  Check("exifinfo-foreign.xml", test::Read(other + "/exifinfo.xml"));

  clsmain().ReadEXIF(case_.temp_path, case_.app_path, "2", "", case_.orgid, "31000", case_.operno,
                     "张三 é€😀", "2011-08-11 14:30:05", "CLAIMS", "survey", "10.0.0.8");
  const std::string handover = OnlyFile(case_.app_path, "exif_");
  ASSERT_FALSE(handover.empty());
  std::string plain = test::Read(handover);
  encrypt::Unscramble(plain);
  Check("handover-readexif.xml", plain);
  fs::remove(handover);

  // Working files of the picture tree, gathered into one hand-over.
  for (const auto& entry : fs::recursive_directory_iterator(case_.temp_path))
    if (entry.path().extension() == ".jpg") NewWrite(entry.path().string(), "张三 é€😀");
  clsmain().CopyExifInfo(case_.app_path, case_.temp_path, case_.operno);
  const std::string copied = OnlyFile(case_.app_path, "exif_");
  ASSERT_FALSE(copied.empty());
  plain = test::Read(copied);
  encrypt::Unscramble(plain);
  Check("handover-copy.xml", plain);
}

}  // namespace
}  // namespace picmeta
