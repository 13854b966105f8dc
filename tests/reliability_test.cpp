// No record lost, no file outside the case: the file service's refusals and
// statuses, hand-over names, hostile file systems and names, exactly-once
// hand-over, and bounded work on hostile pictures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "capture/public_function.h"
#include "picmeta/clsmain.h"
#include "picmeta/picmeta.h"
#include "platform/os/clock.h"
#include "platform/os/fs.h"
#include "platform/xml/document.h"
#include "reader/exif_reader.h"
#include "records/formats.h"
#include "records/record_document.h"
#include "scramble/encrypt.h"
#include "tests/fixtures.h"
#include "tests/support.h"
#include "tools/exif_builder.h"
#include "tools/sample_case.h"

namespace picmeta {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

using test::CaseTest;
using test::ExactlyOnce;

// Hand-over files ----------------------------------------------------------------

TEST_F(CaseTest, HandOversOfOneSecondNeverReplaceEachOther) {
  // CopyExifInfo from the case folder as its own case: one document folder.
  const std::string app = case_.app_path;
  test::Write(app + "/copycase/busiinfoprocess.xml",
              "<busiinfoprocess><busiinforecord foldername='top'><subcalsscodeinforecord "
              "foldername='case'><documentinfo><relationship><resourcemainindex/></relationship>"
              "</documentinfo></subcalsscodeinforecord></busiinforecord></busiinfoprocess>");
  NewWrite(case_.case_folder + "/IMG_0001.JPG");
  clsmain().CopyExifInfo(app + "/copycase", app, "0815");
  NewWrite(case_.case_folder + "/IMG_0002.JPG");
  clsmain().CopyExifInfo(app + "/copycase", app, "0815");
  EXPECT_EQ(
      test::HandOvers(app + "/copycase"),
      (std::vector<std::string>{"exif_0815_20110811143005.xml", "exif_0815_20110811143006.xml"}));
  EXPECT_EQ(test::RecordNames(app + "/copycase/exif_0815_20110811143005.xml", true),
            std::vector<std::string>{"IMG_0001.JPG"});
  EXPECT_EQ(test::RecordNames(app + "/copycase/exif_0815_20110811143006.xml", true),
            std::vector<std::string>{"IMG_0002.JPG"});

  ReadExif();
  ReadExif();
  EXPECT_EQ(test::HandOvers(app), (std::vector<std::string>{"exif_0815_20110811143005.xml",
                                                            "exif_0815_20110811143006.xml"}));
}

TEST_F(CaseTest, OperatorNumbersNeverPlaceTheHandOverElsewhere) {
  fs::create_directories(case_.app_path + "/exif_x");
  ReadExif("x/../../../outside/evil");
  ReadExif("a\\b:c*?");
  const std::string long_operno(230, '7');
  ReadExif(long_operno);
  EXPECT_FALSE(test::Exists(dir_ / "outside"));
  EXPECT_TRUE(test::List(case_.app_path + "/exif_x").empty());
  const auto files = test::HandOvers(case_.app_path);
  const std::set<std::string> got(files.begin(), files.end());
  EXPECT_EQ(got.count("exif_x_.._.._.._outside_evil_20110811143005.xml"), 1u);
  EXPECT_EQ(got.count("exif_a_b_c___20110811143005.xml"), 1u);
  EXPECT_EQ(got.count("exif_" + long_operno + "_20110811143005.xml"), 1u);
  EXPECT_EQ(records::OperatorForFileName(std::string(300, 'x')).size(), 231u);
  EXPECT_EQ(records::OperatorForFileName(std::string(229, 'x') + "张三").size(),
            229u);  // not inside 张
}

// Hostile file systems ---------------------------------------------------------------

using test::kThreeRecords;

// Fails the n-th call of op with error.
platform::FaultInjector FailNth(platform::Op which, int n, int error) {
  return [which, n, error, seen = 0](platform::Op op) mutable {
    return op == which && ++seen == n ? platform::Fault{error} : platform::Fault{};
  };
}

TEST_F(CaseTest, AReadThatFailsChangesNothingAndSetsNothingAside) {
  // The working file is the fourth file opened and the third read by the
  // writers (after documentfilesource.xml, the top listing and the folder
  // lock), the second opened and the first read by DeleteDatafromXML.
  struct Case {
    platform::Op op;
    int error;
    int writer_nth, delete_nth;
  };
  for (const Case c :
       {Case{platform::Op::kOpen, EMFILE, 4, 2}, Case{platform::Op::kRead, EIO, 3, 1}}) {
    test::Write(exifinfo_, kThreeRecords);
    {
      test::FaultGuard faults(FailNth(c.op, c.writer_nth, c.error));
      NewWrite(case_.case_folder + "/IMG_0001.JPG");
    }
    {
      test::FaultGuard faults(FailNth(c.op, c.writer_nth, c.error));
      Write();
    }
    {
      test::FaultGuard faults(FailNth(c.op, c.delete_nth, c.error));
      clsmain().DeleteDatafromXML(case_.case_folder, "a.jpg");
    }
    EXPECT_EQ(test::Read(exifinfo_), kThreeRecords) << c.error;
    for (const auto& f : test::List(case_.case_folder))
      EXPECT_EQ(f.find("unreadable"), std::string::npos) << f;
    NewWrite(case_.case_folder + "/IMG_0001.JPG");  // without a fault the same call records
    EXPECT_EQ(test::RecordNames(exifinfo_).size(), 4u);
  }
}

TEST_F(CaseTest, ShortReadsGiveTheSameRecords) {
  Write();
  const std::string plain = test::Read(exifinfo_);
  fs::remove(exifinfo_);
  {
    test::FaultGuard faults([](platform::Op op) {
      return platform::Fault{0, op == platform::Op::kRead || op == platform::Op::kWrite};
    });
    Write();
  }
  EXPECT_EQ(test::Read(exifinfo_), plain);
}

TEST_F(CaseTest, AWorkingFileOverOneGibibyteIsSetAsideUnread) {
  {
    test::Write(exifinfo_, "<?xml version='1.0'?><root>");
    fs::resize_file(test::P(exifinfo_), (std::uintmax_t{1} << 30) + 1);  // sparse
  }
  Write();
  EXPECT_EQ(test::RecordNames(exifinfo_).size(), 3u);
  EXPECT_EQ(fs::file_size(exifinfo_ + ".unreadable-20110811143005"), (1u << 30) + 1);
}

TEST(FileService, OnlyAbandonedTemporariesAreSweptAndNotOnEverySave) {
  TempDir dir;
  const std::string live = dir / ".pmtmp-99999-0-deadbeef";  // another host's writer
  const std::string old = dir / ".pmtmp-99998-0-deadbeef";
  test::Write(live, "in progress");
  test::Write(old, "abandoned");
  test::SetModified(old, std::time(nullptr) - 7200);
  EXPECT_TRUE(platform::AtomicWriteFile(test::At(dir / "exifinfo.xml"), "x").ok());
  EXPECT_TRUE(test::Exists(live));
  EXPECT_FALSE(test::Exists(old));
  test::Write(old, "abandoned later");
  test::SetModified(old, std::time(nullptr) - 7200);
  EXPECT_TRUE(platform::AtomicWriteFile(test::At(dir / "exifinfo.xml"), "y").ok());
  EXPECT_TRUE(test::Exists(old));  // the folder was swept within the hour
}

// Cancellation ------------------------------------------------------------------------

TEST_F(CaseTest, AMethodAfterALockTimeoutWorks) {
  {
    const platform::FolderLock held = test::Locked(test::At(case_.case_folder));
    EXPECT_EQ(platform::FolderLock::Take(test::At(case_.case_folder), 30).status().code,
              platform::FileStatus::kLockTimeout);
  }
  Write();
  EXPECT_EQ(test::RecordNames(exifinfo_).size(), 3u);
}

// Files outside the case ------------------------------------------------------------------

TEST(OutsideTheCase, UnsafeFolderNamesAreNotFollowed) {
  test::FixedClock clock;
  TempDir dir;
  const std::string docs =
      "<documentinfo><relationship><resourcemainindex resourcemainindex='1'/></relationship>"
      "</documentinfo>";
  std::string tree =
      "<busiinfoprocess><busiinforecord foldername='R' classcode='11020000'>"
      "<subcalsscodeinforecord foldername='S'>";
  for (const char* bad : {"..", ".", "a/b", "a\\b"})
    tree += std::string("<doctypeinforecord foldername='") + bad + "'>" + docs +
            "<doctypeinforecord foldername='deeper'>" + docs +
            "</doctypeinforecord></doctypeinforecord>";
  tree += "<doctypeinforecord foldername='ok'>" + docs +
          "</doctypeinforecord>"
          "</subcalsscodeinforecord></busiinforecord></busiinfoprocess>";
  test::Write(dir / "app/busiinfoprocess.xml", tree);
  test::Write(dir / "app/resourceprocess.xml",
              "<documentinfo><filename resourcemainindex='1' name='p.jpg'/></documentinfo>");
  const std::string picture = tooling::BuildCameraJpeg({});
  for (const char* folder : {"pics/R/S/ok", "pics/R", "pics/R/S", "pics/R/S/a/b"}) {
    test::Write(dir / (std::string(folder) + "/p.jpg"), picture);
    test::Write(dir / (std::string(folder) + "/exifinfo.xml"),
                "<?xml version='1.0' encoding='GBK'?><root><info Filename='" + std::string(folder) +
                    "'/></root>");
  }
  clsmain().ReadEXIF(dir / "pics", dir / "app", "2", "", "", "", "1", "", "", "", "", "");
  std::string bytes = test::Read(dir / "app/exif_1_20110811143005.xml");
  encrypt::Unscramble(bytes);
  platform::XmlDocument doc;
  ASSERT_TRUE(doc.LoadXML(bytes));
  const auto records = doc.SelectNodes("root/info");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].GetAttribute("filepath"), "/S/ok");

  clsmain().CopyExifInfo(dir / "app", dir / "pics", "2");
  EXPECT_EQ(test::RecordNames(dir / "app/exif_2_20110811143005.xml", true),
            std::vector<std::string>{"pics/R/S/ok"});
  for (const char* kept : {"pics/R", "pics/R/S", "pics/R/S/a/b"})
    EXPECT_TRUE(test::Exists(dir / (std::string(kept) + "/exifinfo.xml"))) << kept;
}

TEST(OutsideTheCase, ResourceNamesWithSeparatorsNameNoPicture) {
  test::FixedClock clock;
  TempDir dir;
  test::Write(dir / "app/busiinfoprocess.xml",
              "<busiinfoprocess><busiinforecord foldername='R' classcode='11020000'>"
              "<subcalsscodeinforecord foldername='S'><doctypeinforecord foldername='A'>"
              "<documentinfo><relationship><resourcemainindex resourcemainindex='1'/>"
              "<resourcemainindex resourcemainindex='2'/><resourcemainindex resourcemainindex='3'/>"
              "</relationship></documentinfo></doctypeinforecord></subcalsscodeinforecord>"
              "</busiinforecord></busiinfoprocess>");
  test::Write(dir / "app/resourceprocess.xml",
              "<documentinfo><filename resourcemainindex='1' name='../../secret.jpg'/>"
              "<filename resourcemainindex='2' name='..'/>"
              "<filename resourcemainindex='3' name='x\\..\\..\\secret.jpg'/></documentinfo>");
  test::Write(dir / "pics/secret.jpg", tooling::BuildCameraJpeg({}));
  test::Write(dir / "pics/R/S/A/x/placeholder", "");
  clsmain().ReadEXIF(dir / "pics", dir / "app", "2", "", "", "", "1", "", "", "", "", "");
  EXPECT_EQ(test::RecordNames(dir / "app/exif_1_20110811143005.xml", true),
            (std::vector<std::string>{"", "", ""}));
}

TEST_F(CaseTest, NamesAreLookedUpAsTheyAreStored) {
  test::Write(case_.case_folder + "/ lead.jpg", tooling::BuildCameraJpeg({}));
  NewWrite(case_.case_folder + "/ lead.jpg");
  NewWrite(case_.case_folder + "/ lead.jpg");
  EXPECT_EQ(test::RecordNames(exifinfo_), std::vector<std::string>{"lead.jpg"});
  test::Write(case_.case_folder + "/kelexplorersource.xml",
              "<kelexplorerinfo><file name=' lead.jpg' processflag='1'/></kelexplorerinfo>");
  Write();
  Write();
  EXPECT_EQ(test::RecordNames(exifinfo_), std::vector<std::string>{"lead.jpg"});
  clsmain().DeleteDatafromXML(case_.case_folder, " lead.jpg");
  EXPECT_TRUE(test::RecordNames(exifinfo_).empty());
}

// Exactly once ------------------------------------------------------------------------------

// Whether a hand-over has claimed the working file of a folder.
bool Claimed(const std::string& folder) {
  for (const auto& name : test::List(folder))
    if (name.size() > 6 && name.compare(name.size() - 6, 6, ".claim") == 0) return true;
  return false;
}

TEST_F(ExactlyOnce, RecordsWrittenOnceTheFileIsClaimedStayForTheNextHandOver) {
  const std::string working = dir_ / "pics/A/B/exifinfo.xml";
  test::Write(working, "<?xml version='1.0' encoding='GBK'?><root><info Filename='d1'/></root>");
  {
    // Once the file is claimed, a writer starts a new one with its record.
    test::FaultGuard faults([&, done = false](platform::Op) mutable {
      if (!done && Claimed(dir_ / "pics/A/B")) {
        done = true;
        test::Write(working,
                    "<?xml version='1.0' encoding='GBK'?><root><info Filename='d2'/></root>");
      }
      return platform::Fault{};
    });
    Copy();
  }
  EXPECT_EQ(test::RecordNames(dir_ / "case/exif_9_20110811143005.xml", true),
            std::vector<std::string>{"d1"});
  EXPECT_EQ(test::RecordNames(working), std::vector<std::string>{"d2"});
  EXPECT_EQ(test::List(dir_ / "pics/A/B"), std::vector<std::string>{"exifinfo.xml"});
}

// Bounded work on hostile pictures -------------------------------------------------------------

TEST(HostilePictures, AFileOfTwoGibibytesOrMoreIsNotRead) {
  TempDir dir;
  const std::string path = dir / "huge.jpg";
  test::Write(path, std::string("\xFF\xD8\xFF\xE0", 4));
  fs::resize_file(test::P(path), std::uintmax_t{1} << 31);  // sparse, no FF E1 anywhere
  reader::ExifReader reader;
  EXPECT_THROW(reader.Load(path), reader::FileError);
  EXPECT_EQ(reader.BytesRead(), 0);
  clsPicinfo record;
  record.Make("kept");
  Public_Function::ReadPicInfo(path, record);
  EXPECT_EQ(record.FileSize(), "2147483648");
  EXPECT_EQ(record.Make(), "kept");
}

}  // namespace
}  // namespace picmeta
