#include "records/picinfo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "capture/public_function.h"
#include "picmeta/clsmain.h"
#include "platform/os/clock.h"
#include "reader/exif_reader.h"
#include "tests/support.h"
#include "tools/exif_builder.h"

namespace picmeta {
namespace {

using test::TempDir;
std::string Nul(std::string s) { return s + std::string(1, '\0'); }

// A record whose every property holds "old".
clsPicinfo Preset() {
  clsPicinfo r;
#define PICMETA_PRESET(name) r.name("old");
  PICMETA_PICINFO_PROPERTIES(PICMETA_PRESET)
#undef PICMETA_PRESET
  return r;
}

TEST(ReadPicInfo, MissingFilesAndFoldersLeaveTheRecordUntouched) {
  TempDir dir;
  clsPicinfo r = Preset();
  Public_Function::ReadPicInfo(dir / "missing.jpg", r);
  Public_Function::ReadPicInfo(dir.path(), r);
  EXPECT_EQ(r.Filename(), "old");
  EXPECT_EQ(r.FileSize(), "old");
  EXPECT_EQ(r.Make(), "old");
}

TEST(ReadPicInfo, ExifPictureFillsEveryFileAndTagProperty) {
  test::FixedClock clock;  // Beijing time, restored afterwards
  TempDir dir;
  tooling::CameraPicture p;
  p.make = " Canon";
  const std::string jpeg = tooling::BuildCameraJpeg(p);
  test::Write(dir / "IMG_0001.JPG", jpeg);
  test::SetModified(dir / "IMG_0001.JPG", 1312160707);  // 2011-08-01 09:05:07 +8
  clsPicinfo r = Preset();
  Public_Function::ReadPicInfo(dir.path() + "\\IMG_0001.JPG", r);
  EXPECT_EQ(r.Filetype(), "JPG");
  EXPECT_EQ(r.Filename(), "IMG_0001.JPG");
  EXPECT_EQ(r.Datemodified(), "2011/8/1 9:05:07");
  EXPECT_FALSE(r.Datecreat().empty());
  EXPECT_EQ(r.FileSize(), std::to_string(jpeg.size()));
  EXPECT_EQ(r.Make(), Nul("Canon"));  // leading blank trimmed, NUL kept
  EXPECT_EQ(r.Model(), Nul("Canon EOS 5D"));
  EXPECT_EQ(r.Takedate(), Nul("2011:08:01 09:05:07"));
  EXPECT_EQ(r.Software(), Nul("Firmware 1.1.1"));
  EXPECT_EQ(r.Offset(), "1024");
  EXPECT_FALSE(r.Ifdoffset().empty());
  EXPECT_FALSE(r.Soioffset().empty());
  // Tags the picture lacks overwrite what the record held.
  EXPECT_EQ(r.Thresholding(), "");
  EXPECT_EQ(r.CellWidth(), "");
  EXPECT_EQ(r.CellLength(), "");
  EXPECT_EQ(r.Secdat(), "");
  // Business properties are never touched.
  EXPECT_EQ(r.Orgid(), "old");
  EXPECT_EQ(r.BusiProcess(), "old");
}

TEST(ReadPicInfo, PictureWithoutExifKeepsTheTagProperties) {
  TempDir dir;
  test::Write(dir / "scan", tooling::BuildJfif());
  test::Write(dir / "empty.", "");
  clsPicinfo r = Preset();
  Public_Function::ReadPicInfo(dir / "scan", r);
  EXPECT_EQ(r.Filetype(), "scan");  // no dot: the whole name
  EXPECT_EQ(r.Make(), "old");
  Public_Function::ReadPicInfo(dir / "empty.", r);
  // A name ending in a dot has an empty type (Windows stores it without the dot).
  EXPECT_EQ(r.Filetype(), test::Exists(dir / "empty") ? "empty" : "");
  EXPECT_EQ(r.FileSize(), "0");
  EXPECT_EQ(r.Takedate(), "old");
}

TEST(ReadPicInfo, FileNameBlanksAreTrimmed) {
  TempDir dir;
  test::Write(dir / " a.b.jpeg ", tooling::BuildJfif());
  clsPicinfo r;
  Public_Function::ReadPicInfo(dir / " a.b.jpeg ", r);
  EXPECT_EQ(r.Filename(), "a.b.jpeg");
  EXPECT_EQ(r.Filetype(), "jpeg");
}

TEST(ReadPicInfo, RealPictureOffsetsAreThePointersItStores) {
  PICMETA_NEED_REAL_PICTURES();
  clsPicinfo r;
  Public_Function::ReadPicInfo(test::RealPicture("test1.jpg"), r);
  EXPECT_EQ(r.Make(), Nul("Apple"));
  EXPECT_EQ(r.Model(), Nul("iPhone 4S"));
  EXPECT_FALSE(r.Ifdoffset().empty());
  EXPECT_EQ(r.Ifdoffset().find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(r.Takedate().size(), 20u);
}

// Workspace lookups ---------------------------------------------------------

TEST(GetResourceName, FirstMatchExactKeysAndMissingFiles) {
  TempDir dir;
  EXPECT_EQ(Public_Function::GetResourceName(dir.path(), "R1"), "");
  test::Write(dir / "resourceprocess.xml",
              "<documentinfo><filename resourcemainindex='R1' name='a.jpg'/>"
              "<filename resourcemainindex='R1' name='b.jpg'/><filename name='nokey.jpg'/>"
              "<filename resourcemainindex='' name='empty.jpg'/>"
              "<filename resourcemainindex='R2'/></documentinfo>");
  EXPECT_EQ(Public_Function::GetResourceName(dir.path(), "R1"), "a.jpg");
  EXPECT_EQ(Public_Function::GetResourceName(dir.path(), "r1"), "");
  EXPECT_EQ(Public_Function::GetResourceName(dir.path(), ""), "empty.jpg");
  EXPECT_EQ(Public_Function::GetResourceName(dir.path(), "R2"), "");  // entry without a name
}

class ReadBusiIndexTest : public ::testing::Test {
 protected:
  void Listing(const std::string& components) {
    test::Write(dir_ / "top/kelexplorersource.xml",
                "<kelexplorerinfo><folder name='other'><busiindex>"
                "<component name='busitype' value='9'/></busiindex></folder>"
                "<folder name='case'><busiindex>" +
                    components +
                    "</busiindex><busiindex><component name='busitype' value='8'/></busiindex>"
                    "</folder></kelexplorerinfo>");
  }
  TempDir dir_;
  clsPicinfo record_;
};

TEST_F(ReadBusiIndexTest, ReadsTheNamedFolderOfTheTopListing) {
  Listing(
      "<component name='classcode' value='11020000'/><component name='BusiType' value='x'/>"
      "<component name='busitype' value='1'/><component name='busitype' value='2'/>"
      "<component name='claimstno' value='C-1'/>");
  Public_Function::ReadBusiIndex(test::At(dir_.path()), "top\\case\\deeper", record_);
  EXPECT_EQ(record_.Busitype(), "2");  // the last of a repeated name wins
  EXPECT_EQ(record_.ClassCode(), "11020000");
  EXPECT_EQ(record_.Claimstno(), "C-1");
}

TEST_F(ReadBusiIndexTest, MissingPiecesLeaveTheRecordAsItWas) {
  Listing("<component name='busitype'/><component name='classcode' value='11020000'/>");
  record_.Busitype("keep");
  Public_Function::ReadBusiIndex(test::At(dir_.path()), "top\\case", record_);
  EXPECT_EQ(record_.Busitype(), "keep");  // component without a value
  EXPECT_EQ(record_.Claimstno(), "");
  clsPicinfo other;
  Public_Function::ReadBusiIndex(test::At(dir_.path()), "top\\nocase", other);
  Public_Function::ReadBusiIndex(test::At(dir_.path()), "missing\\case", other);
  Public_Function::ReadBusiIndex(test::At(dir_.path()), "top", other);  // one component: no match
  EXPECT_EQ(other.Busitype(), "");
  EXPECT_EQ(other.ClassCode(), "");
}

// A text value of 200 KB: its first 64 KiB are stored (at a character
// boundary: a Latin-1 character is two bytes of UTF-8), a warning says so,
// and no more of the value than that is read.
TEST(ReadPicInfo, ATextValueLongerThan64KiBIsCutAndSaidSo) {
  TempDir dir;
  tooling::CameraPicture p;
  p.make = std::string(200 * 1024, 'A');
  p.model = std::string(100 * 1024, '\xE9');  // Latin-1 é, two bytes each in UTF-8
  test::Write(dir / "long.jpg", tooling::BuildCameraJpeg(p));
  std::vector<Event> cut;
  SetLogHandler([&](const Event& e) {
    if (e.code == PICMETA_EVENT_VALUE_CUT) cut.push_back(e);
  });
  clsPicinfo r;
  Public_Function::ReadPicInfo(dir / "long.jpg", r);
  SetLogHandler(nullptr);
  EXPECT_EQ(r.Make(), std::string(64 * 1024, 'A'));
  EXPECT_EQ(r.Model().size(), 64u * 1024);
  EXPECT_EQ(r.Model().substr(0, 4), "\xC3\xA9\xC3\xA9");
  EXPECT_EQ(r.Takedate(), Nul("2011:08:01 09:05:07"));  // the others as they are
  ASSERT_EQ(cut.size(), 2u);
  EXPECT_NE(cut[0].message.find("Make"), std::string::npos) << cut[0].message;
  reader::ExifReader reader;
  reader.Load(dir / "long.jpg");
  (void)reader.Tag(0x010F);
  EXPECT_LE(reader.BytesRead(), 64 * 1024 + 3 * 16 * 1024);  // of the 200 KB value
}

}  // namespace
}  // namespace picmeta
