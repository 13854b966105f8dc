#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "picmeta/clsmain.h"
#include "picmeta/picmeta.h"
#include "platform/os/clock.h"
#include "platform/os/fs.h"
#include "platform/xml/document.h"
#include "scramble/encrypt.h"
#include "tests/support.h"
#include "tools/exif_builder.h"
#include "tools/sample_case.h"

namespace picmeta {
namespace {

using test::TempDir;
using Attributes = std::vector<std::pair<std::string, std::string>>;

const char* kHandOver = "exif_0815_20110811143005.xml";

class ReadExifTest : public ::testing::Test {
 protected:
  void Run(const std::string& temp, const std::string& app, const std::string& busitype = "2",
           const std::string& classcode = "", const std::string& orgid = "3100000ABCDEF001") {
    clsmain().ReadEXIF(temp, app, busitype, classcode, orgid, "31000", "0815", "张三",
                       "2011-08-11 14:30:05", "CLAIMS", "survey", "10.0.0.8");
  }
  // The unscrambled hand-over document, or a failure when there is none.
  std::vector<Attributes> Records(const std::string& app) {
    const auto records = test::Records(app + "/" + kHandOver, true);
    EXPECT_TRUE(records) << "no hand-over file in " << app << ", or it does not load";
    return records.value_or(std::vector<Attributes>{});
  }
  static std::string Value(const Attributes& a, const std::string& name) {
    for (const auto& [n, v] : a)
      if (n == name) return v;
    return "<absent>";
  }
  void WriteCase(const std::string& busiinfo, const std::string& resources = "<documentinfo/>") {
    test::Write(dir_ / "app/busiinfoprocess.xml", busiinfo);
    test::Write(dir_ / "app/resourceprocess.xml", resources);
  }
  test::FixedClock clock_;
  TempDir dir_;
};

const std::vector<std::string> kAttributeOrder = {
    "Orgid",     "Suborgid",   "Net",       "Busiorgid",    "Operno",  "Opername",  "Claimstno",
    "BusiTime",  "Transdate",  "Filetype",  "Filename",     "Make",    "Model",     "Takedate",
    "Digidate",  "Updatedate", "Software",  "Ifdoffset",    "Offset",  "Soioffset", "Thresholding",
    "CellWidth", "CellLength", "Datecreat", "Datemodified", "IP",      "Secdat",    "FileSize",
    "BusiType",  "ClassCode",  "Systemid",  "BusiProcess",  "filepath"};

TEST_F(ReadExifTest, SampleCaseGivesOneRecordPerPictureInWalkOrder) {
  const auto c = tooling::BuildSampleCase(dir_.path());
  test::SetModified(c.temp_path + "/车险/定损/现场照片/front.jpg", 1312160707);
  Run(c.temp_path, c.app_path);
  const auto records = Records(c.app_path);
  // Documents of level 4 before their level-3 parent before the level-2
  // grandparent; the empty-named level-3 folder adds no level.
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"scan.jpg", "/定损/现场照片"},        {"licence.jpg", "/定损/现场照片/证件/驾驶证"},
      {"idcard.jpg", "/定损/现场照片/证件"}, {"", "/定损/现场照片/证件"},
      {"", "/定损/现场照片/证件"},           {"front.jpg", "/定损/现场照片"},
      {"rear.jpg", "/定损/现场照片"}};
  ASSERT_EQ(records.size(), expected.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    std::vector<std::string> names;
    for (const auto& [n, v] : records[i]) names.push_back(n);
    EXPECT_EQ(names, kAttributeOrder) << i;
    EXPECT_EQ(Value(records[i], "Filename"), expected[i].first) << i;
    EXPECT_EQ(Value(records[i], "filepath"), expected[i].second) << i;
    EXPECT_EQ(Value(records[i], "Orgid"), "3100000");
    EXPECT_EQ(Value(records[i], "Suborgid"), "ABCDEF");
    EXPECT_EQ(Value(records[i], "Net"), "001");
    EXPECT_EQ(Value(records[i], "Opername"), "张三");
    EXPECT_EQ(Value(records[i], "Claimstno"), "RDAA2011310000000815");
    EXPECT_EQ(Value(records[i], "Transdate"), "2011:08:11 14:30:05");
    EXPECT_EQ(Value(records[i], "BusiType"), "2");
    EXPECT_EQ(Value(records[i], "ClassCode"), "11020000");
    EXPECT_EQ(Value(records[i], "BusiProcess"), "survey");
    EXPECT_EQ(Value(records[i], "IP"), "10.0.0.8");
  }
  // Exif values without their NUL; a picture without Exif keeps them empty
  // and is not given the previous picture's values.
  EXPECT_EQ(Value(records[1], "Make"), "Apple");
  EXPECT_EQ(Value(records[1], "Takedate"), "2011:08:02 14:30:05");
  EXPECT_EQ(Value(records[0], "Make"), "");
  EXPECT_EQ(Value(records[0], "FileSize"),
            std::to_string(test::Read(c.temp_path + "/车险/定损/现场照片/scan.jpg").size()));
  EXPECT_EQ(Value(records[3], "Make"), "");
  EXPECT_EQ(Value(records[3], "Datecreat"), "");
  // Written today (the creation time cannot be set); changed on 2011-08-01 09:05:07.
  EXPECT_TRUE(std::regex_match(Value(records[5], "Datecreat"),
                               std::regex(R"(20\d\d/\d{1,2}/\d{1,2}( \d{1,2}:\d\d:\d\d)?)")))
      << Value(records[5], "Datecreat");
  EXPECT_EQ(Value(records[5], "Datemodified"), "2011/8/1 9:05:07");
  EXPECT_EQ(Value(records[6], "Make"), "NIKON CORPORATION");
  // Only the scrambled file remains: no plain copy, no temporary.
  const auto files = test::List(c.app_path);
  EXPECT_EQ(std::count(files.begin(), files.end(), kHandOver), 1);
  for (const auto& f : files) {
    if (f.rfind("exif_", 0) == 0) {
      EXPECT_EQ(f, kHandOver);
    }
    EXPECT_FALSE(platform::IsTemporaryName(f)) << f;
  }
  EXPECT_FALSE(test::Exists(c.app_path + "/exif_0815_20110811143005"));
}

TEST_F(ReadExifTest, HandOverIsTheScrambledGbkDocument) {
  const auto c = tooling::BuildSampleCase(dir_.path());
  Run(c.temp_path, c.app_path);
  std::string bytes = test::Read(c.app_path + "/" + kHandOver);
  encrypt::Unscramble(bytes);
  EXPECT_EQ(bytes.rfind("<?xml version=\"1.0\" encoding=\"GBK\"?>", 0), 0u);
  EXPECT_NE(test::FromGbk(bytes).find("Opername=\"张三\""), std::string::npos);
  std::string again = bytes;
  encrypt::Scramble(again);
  EXPECT_EQ(again, test::Read(c.app_path + "/" + kHandOver));
}

TEST_F(ReadExifTest, GatesWriteNothing) {
  const auto c = tooling::BuildSampleCase(dir_.path());
  Run(c.temp_path, c.app_path, "02");
  Run(c.temp_path, c.app_path, "");
  Run(c.temp_path, c.app_path, "2", "11020001");
  Run(c.temp_path, dir_ / "no-workspace");
  EXPECT_FALSE(test::Exists(c.app_path + "/" + kHandOver));
}

TEST_F(ReadExifTest, ClassCodeComesFromTheParameterOrTheFirstRecord) {
  const std::string tail =
      "<subcalsscodeinforecord foldername='S'/></busiinforecord></busiinfoprocess>";
  WriteCase("<busiinfoprocess><busiinforecord classcode='11020000' foldername='R'>" + tail);
  Run(dir_ / "pics", dir_ / "app");
  EXPECT_TRUE(Records(dir_ / "app").empty());  // proceeds: an empty root is written
  std::filesystem::remove(dir_ / "app/" + kHandOver);

  WriteCase(
      "<busiinfoprocess><busiinforecord classcode='' foldername='R'>"
      "<attribute name='classcode' value='11020000'/>" +
      tail);
  Run(dir_ / "pics", dir_ / "app");
  EXPECT_TRUE(test::Exists(dir_ / "app/" + kHandOver));
  std::filesystem::remove(dir_ / "app/" + kHandOver);

  WriteCase(
      "<busiinfoprocess><busiinforecord foldername='R'>"
      "<attribute name='classcode'/>" +
      tail);
  Run(dir_ / "pics", dir_ / "app");
  EXPECT_FALSE(test::Exists(dir_ / "app/" + kHandOver));
  Run(dir_ / "pics", dir_ / "app", "2", "11020000");
  EXPECT_TRUE(test::Exists(dir_ / "app/" + kHandOver));
}

TEST_F(ReadExifTest, OrgidIsSplitByCharacterPosition) {
  WriteCase(
      "<busiinfoprocess><busiinforecord foldername='R'><subcalsscodeinforecord "
      "foldername='S'><doctypeinforecord foldername='A'><documentinfo><relationship>"
      "<resourcemainindex resourcemainindex='1'/></relationship></documentinfo>"
      "</doctypeinforecord></subcalsscodeinforecord></busiinforecord></busiinfoprocess>");
  Run(dir_ / "pics", dir_ / "app", "2", "11020000", "ABCDEFGHIJKLMNOP");
  auto r = Records(dir_ / "app");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(Value(r[0], "Orgid"), "ABCDEFG");
  EXPECT_EQ(Value(r[0], "Suborgid"), "HIJKLM");
  EXPECT_EQ(Value(r[0], "Net"), "NOP");
  std::filesystem::remove(dir_ / ("app/" + std::string(kHandOver)));
  Run(dir_ / "pics", dir_ / "app", "2", "11020000", "ABCDE");
  r = Records(dir_ / "app");
  EXPECT_EQ(Value(r[0], "Orgid"), "ABCDE");
  EXPECT_EQ(Value(r[0], "Suborgid"), "");
  EXPECT_EQ(Value(r[0], "Net"), "");
  EXPECT_EQ(Value(r[0], "filepath"), "/S/A");
}

TEST_F(ReadExifTest, AbsentAttributesCountAsEmptyNotAsThePreviousValue) {
  WriteCase(
      "<busiinfoprocess><busino>C1</busino><busiinforecord foldername='R'>"
      "<subcalsscodeinforecord foldername='S'>"
      "<doctypeinforecord foldername='A'><documentinfo><relationship>"
      "<resourcemainindex resourcemainindex='1'/><resourcemainindex/>"
      "</relationship></documentinfo></doctypeinforecord>"
      "<doctypeinforecord><documentinfo><relationship>"
      "<resourcemainindex resourcemainindex='2'/></relationship></documentinfo>"
      "</doctypeinforecord></subcalsscodeinforecord></busiinforecord></busiinfoprocess>",
      "<documentinfo><filename resourcemainindex='1' name='a.jpg'/>"
      "<filename resourcemainindex='2'/></documentinfo>");
  test::Write(dir_ / "pics/R/S/A/a.jpg", tooling::BuildCameraJpeg({}));
  Run(dir_ / "pics", dir_ / "app", "2", "11020000");
  const auto r = Records(dir_ / "app");
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(Value(r[0], "Filename"), "a.jpg");
  EXPECT_EQ(Value(r[0], "Claimstno"), "C1");
  EXPECT_EQ(Value(r[1], "Filename"), "");  // no index: not a.jpg again
  EXPECT_EQ(Value(r[1], "filepath"), "/S/A");
  EXPECT_EQ(Value(r[2], "Filename"), "");    // known index without a name
  EXPECT_EQ(Value(r[2], "filepath"), "/S");  // no folder name: not A again
}

TEST_F(ReadExifTest, SlashAndBackslashPathsAreTheSame) {
  const auto c = tooling::BuildSampleCase(dir_.path());
  std::string temp = c.temp_path, app = c.app_path;
  std::replace(temp.begin(), temp.end(), '/', '\\');
  picmeta_clsmain* obj = picmeta_clsmain_create();
  picmeta_clsmain_ReadEXIF(obj, temp.c_str(), app.c_str(), "2", nullptr, "3100000ABCDEF001",
                           "31000", "0815", "张三", "", "", "", nullptr);
  picmeta_clsmain_release(obj);
  EXPECT_EQ(Records(app).size(), 7u);
}

TEST_F(ReadExifTest, MissingOutputFolderWritesNothingAndRaisesNothing) {
  WriteCase(
      "<busiinfoprocess><busiinforecord foldername='R' classcode='11020000'/></busiinfoprocess>");
  const auto before = test::List(dir_ / "app");
  test::CaptureOutput out;
  Run(dir_ / "pics", (dir_ / "app") + "\\no-such-folder");
  EXPECT_EQ(out.Finish(), "");
  EXPECT_EQ(test::List(dir_ / "app"), before);
  EXPECT_EQ(test::List(dir_.path()), std::vector<std::string>{"app"});
  Run(dir_ / "pics", dir_ / "app");  // the same case, reachable: written
  EXPECT_TRUE(test::Exists(dir_ / ("app/" + std::string(kHandOver))));
}

TEST(EncryptFile, ShiftsEveryByteAndLeavesExactlyTheScrambledSource) {
  TempDir dir;
  test::Write(dir / "src", std::string("abc\xFE\xFF\x00", 6));
  test::Write(dir / "dst", "a much longer earlier content");
  EXPECT_TRUE(encrypt::EncryptFile(test::At(dir / "src"), test::At(dir / "dst")).ok());
  EXPECT_EQ(test::Read(dir / "dst"), std::string("bcd\xFF\x00\x01", 6));
  // A missing source fails and is not made; nothing is written.
  EXPECT_EQ(encrypt::EncryptFile(test::At(dir / "none"), test::At(dir / "dst2")).code,
            platform::FileStatus::kNotFound);
  EXPECT_FALSE(test::Exists(dir / "none"));
  EXPECT_FALSE(test::Exists(dir / "dst2"));
  // Without replace, a destination that is there stays as it was.
  EXPECT_EQ(encrypt::EncryptFile(test::At(dir / "src"), test::At(dir / "dst"), false).code,
            platform::FileStatus::kExists);
  EXPECT_EQ(test::Read(dir / "dst"), std::string("bcd\xFF\x00\x01", 6));
  EXPECT_TRUE(encrypt::EncryptFile(test::At(dir / "src"), test::At(dir / "new"), false).ok());
  EXPECT_EQ(test::Read(dir / "new"), std::string("bcd\xFF\x00\x01", 6));
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  all += std::string(200000, '\xFF');  // crosses block boundaries
  test::Write(dir / "all", all);
  EXPECT_TRUE(encrypt::EncryptFile(test::At(dir / "all"), test::At(dir / "all.xml")).ok());
  std::string back = test::Read(dir / "all.xml");
  encrypt::Unscramble(back);
  EXPECT_EQ(back, all);
  EXPECT_EQ(encrypt::EncryptFile(test::At(dir / "all"), test::At(dir / "missing/x.xml")).code,
            platform::FileStatus::kNotFound);
}

}  // namespace
}  // namespace picmeta
