#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <thread>

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

std::vector<Attributes> RecordsIn(const std::string& path, const char* query = "root/info") {
  return test::Records(path, false, query).value_or(std::vector<Attributes>{});
}

std::string Value(const Attributes& a, const std::string& name) {
  for (const auto& [n, v] : a)
    if (n == name) return v;
  return "<absent>";
}

std::vector<std::string> Names(const Attributes& a) {
  std::vector<std::string> names;
  for (const auto& [n, v] : a) names.push_back(n);
  return names;
}

std::vector<std::string> Filenames(const std::vector<Attributes>& records) {
  std::vector<std::string> names;
  for (const auto& r : records) names.push_back(Value(r, "Filename"));
  return names;
}

class WorkingFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    case_ = tooling::BuildSampleCase(dir_.path());
    exifinfo_ = case_.case_folder + "/exifinfo.xml";
  }

  void Write(const std::string& orgid = "3100000ABCDEF001") {
    clsmain().WriteDatatoXML(case_.app_path, orgid, "31000", "0815", "张三", "2011-08-11");
  }
  void NewWrite(const std::string& picture) {
    clsmain().NewWriteDatatoXML(case_.app_path, picture, "3100000ABCDEF001", "31000", "0815",
                                "张三", "2011-08-11");
  }
  void List(const std::string& files) {
    test::Write(case_.case_folder + "/kelexplorersource.xml",
                "<kelexplorerinfo>" + files + "</kelexplorerinfo>");
  }
  void Picture(const std::string& name) {
    test::Write(case_.case_folder + "/" + name, tooling::BuildCameraJpeg({}));
  }

  test::FixedClock clock_;
  TempDir dir_;
  tooling::SampleCase case_;
  std::string exifinfo_;
};

const std::vector<std::string> kWriteOrder = {
    "Orgid",     "Suborgid",  "Net",       "Busiorgid",    "Operno",     "Opername",
    "Claimstno", "BusiTime",  "Transdate", "Filetype",     "Filename",   "Make",
    "Model",     "Takedate",  "Digidate",  "Updatedate",   "Software",   "Ifdoffset",
    "Offset",    "Soioffset", "Datecreat", "Datemodified", "BusiProcess"};

TEST_F(WorkingFilesTest, WriteRecordsMarkedPicturesOnceWithTheirAttributes) {
  test::SetModified(case_.case_folder + "/IMG_0001.JPG",
                    1312336800);  // 2011-08-03 10:00 in Beijing
  Write();
  auto records = RecordsIn(exifinfo_);
  EXPECT_EQ(Filenames(records),
            (std::vector<std::string>{"IMG_0001.JPG", "IMG_0002.JPG", "车损.jpg"}));
  for (const auto& r : records) EXPECT_EQ(Names(r), kWriteOrder);
  EXPECT_EQ(Value(records[0], "Claimstno"), "RDAA2011310000000815");
  EXPECT_EQ(Value(records[0], "Transdate"), "2011:08:11 14:30:05");
  EXPECT_EQ(Value(records[0], "Make"), "Canon");
  EXPECT_EQ(Value(records[1], "Make"), "SONY");
  EXPECT_EQ(Value(records[2], "Opername"), "张三");
  EXPECT_EQ(Value(records[2], "BusiProcess"), "");
  EXPECT_EQ(Value(records[0], "Datemodified"), "2011/8/3 10:00:00");

  clock_.Set(test::FixedClock::kInstant + 60);
  Write();  // nothing new: every record stays as it was
  EXPECT_EQ(RecordsIn(exifinfo_), records);
}

TEST_F(WorkingFilesTest, WriteKeysOnTheListedNameExactly) {
  Picture("a.jpg");
  Picture("A.jpg");
  List(
      "<file name='a.jpg' processflag='1'/><file name='a.jpg' processflag='1'/>"
      "<file name='A.jpg' processflag='1'/><file name='IMG_0001.JPG' processflag='01'/>"
      "<file name='IMG_0002.JPG' processflag=' 1'/><file name='车损.jpg'/>"
      "<file processflag='1'/>");
  Write();
  // One record a picture: two where the file system tells the names apart,
  // one (its name as stored) where they are one file.
  const auto files = test::List(case_.case_folder);
  const bool apart = std::count(files.begin(), files.end(), "A.jpg") == 1 &&
                     std::count(files.begin(), files.end(), "a.jpg") == 1;
  const std::vector<std::string> expected =
      apart ? std::vector<std::string>{"a.jpg", "A.jpg"} : std::vector<std::string>{"a.jpg"};
  EXPECT_EQ(Filenames(RecordsIn(exifinfo_)), expected);
}

TEST_F(WorkingFilesTest, WriteRecordsAListedPictureOnlyOnceItExists) {
  List("<file name='later.jpg' processflag='1'/>");
  Write();
  EXPECT_TRUE(RecordsIn(exifinfo_).empty());  // saved with an empty root
  EXPECT_TRUE(test::Exists(exifinfo_));
  Picture("later.jpg");
  Write();
  Write();
  EXPECT_EQ(Filenames(RecordsIn(exifinfo_)), std::vector<std::string>{"later.jpg"});
}

TEST_F(WorkingFilesTest, WriteGatesAndMissingFileListWriteNothing) {
  std::filesystem::remove(case_.case_folder + "/kelexplorersource.xml");
  Write();
  EXPECT_FALSE(test::Exists(exifinfo_));

  tooling::SampleCase other = tooling::BuildSampleCase(dir_ / "other");
  test::Write(other.app_path + "/documentfilesource.xml",
              "<documentinfo><filename relativepath='top\\other'/></documentinfo>");
  clsmain().WriteDatatoXML(other.app_path, "x", "", "", "", "");  // business type 1
  test::Write(other.app_path + "/documentfilesource.xml",
              "<documentinfo><filename/></documentinfo>");
  clsmain().WriteDatatoXML(other.app_path, "x", "", "", "", "");
  std::filesystem::remove(other.app_path + "/documentfilesource.xml");
  clsmain().WriteDatatoXML(other.app_path, "x", "", "", "", "");
  EXPECT_FALSE(test::Exists(other.case_folder + "/exifinfo.xml"));
  EXPECT_FALSE(test::Exists(other.app_path + "/top/other/exifinfo.xml"));
}

TEST_F(WorkingFilesTest, WriteSplitsAShortOrgidAndAcceptsSlashOrBackslash) {
  std::string app = case_.app_path;
  std::replace(app.begin(), app.end(), '/', '\\');
  clsmain().WriteDatatoXML(app, "ABCDEFGHIJ", "", "", "", "");
  const auto r = RecordsIn(exifinfo_);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(Value(r[0], "Orgid"), "ABCDEFG");
  EXPECT_EQ(Value(r[0], "Suborgid"), "HIJ");
  EXPECT_EQ(Value(r[0], "Net"), "");
}

TEST_F(WorkingFilesTest, WriteLeavesANewWriteRecordAloneAndNewWriteKeepsWriteDates) {
  NewWrite(case_.case_folder + "/IMG_0001.JPG");
  auto r = RecordsIn(exifinfo_);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].size(), 21u);
  EXPECT_EQ(Value(r[0], "Datecreat"), "<absent>");
  Write();
  r = RecordsIn(exifinfo_);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].size(), 21u);  // not touched by WriteDatatoXML

  clock_.Set(test::FixedClock::kInstant + 3600);
  NewWrite(case_.case_folder + "/IMG_0002.JPG");
  r = RecordsIn(exifinfo_);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(Names(r[1]), kWriteOrder);  // refreshed in place, dates kept
  EXPECT_EQ(Value(r[1], "Transdate"), "2011:08:11 15:30:05");
  EXPECT_NE(Value(r[1], "Datecreat"), "<absent>");
}

TEST_F(WorkingFilesTest, NewWriteRecordsAnyPictureInItsOwnFolder) {
  const std::string elsewhere = dir_ / "elsewhere/DSC_1.JPG";
  test::Write(elsewhere, tooling::BuildCameraJpeg({}));
  NewWrite(elsewhere);
  NewWrite(elsewhere);
  const auto r = RecordsIn(dir_ / "elsewhere/exifinfo.xml");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(Value(r[0], "Filename"), "DSC_1.JPG");
  EXPECT_EQ(Value(r[0], "Claimstno"), "RDAA2011310000000815");
  EXPECT_FALSE(test::Exists(exifinfo_));
  NewWrite(dir_ / "elsewhere/none.jpg");
  EXPECT_EQ(RecordsIn(dir_ / "elsewhere/exifinfo.xml").size(), 1u);
}

TEST_F(WorkingFilesTest, NewWriteRefreshesOnlyTheFirstOfTwoRecords) {
  test::Write(exifinfo_,
              "<?xml version='1.0' encoding='GBK'?><root>"
              "<info Filename='IMG_0001.JPG' Make='x'/><info Filename='IMG_0001.JPG' Make='y'/>"
              "<info Filename='img_0001.jpg'/></root>");
  NewWrite(case_.case_folder + "/IMG_0001.JPG");
  const auto r = RecordsIn(exifinfo_);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(Value(r[0], "Make"), "Canon");
  EXPECT_EQ(Value(r[1], "Make"), "y");
}

// Records below another root would never be found again: each call would
// add one more, and DeleteDatafromXML could not remove it. The file is set
// aside whole and a record document started.
TEST_F(WorkingFilesTest, AForeignRootIsSetAsideAndItsPictureRecordedOnce) {
  for (const std::string root : {"<Root><info Filename='old.jpg'/></Root>",
                                 "<r:root xmlns:r='urn:x'><info Filename='old.jpg'/></r:root>"}) {
    test::Write(exifinfo_, "<?xml version='1.0' encoding='GBK'?>" + root);
    NewWrite(case_.case_folder + "/IMG_0001.JPG");
    NewWrite(case_.case_folder + "/IMG_0001.JPG");
    EXPECT_EQ(RecordsIn(exifinfo_).size(), 1u) << root;
    const std::string aside = exifinfo_ + ".unreadable-20110811143005";
    EXPECT_NE(test::Read(aside).find("old.jpg"), std::string::npos) << root;
    clsmain().DeleteDatafromXML(case_.case_folder, "IMG_0001.JPG");
    EXPECT_EQ(RecordsIn(exifinfo_).size(), 0u) << root;
    std::filesystem::remove(test::P(aside));
  }
}

// Six text tags of a 20 MB picture that span the whole file: the record
// holds 64 KiB of each, so that the working file stays small and reads back.
TEST_F(WorkingFilesTest, APictureWithHugeTextValuesGivesARecordThatReadsBack) {
  const std::string picture = case_.case_folder + "/huge.jpg";
  const std::uint32_t size = 20u << 20;
  std::string tiff = tooling::HandTiff(tooling::Order::kIntel, [&](tooling::ByteWriter& w) {
    w.U16(6);
    for (const std::uint16_t tag : {0x010F, 0x0110, 0x0131, 0x0132, 0x9003, 0x9004})
      w.U16(tag), w.U16(2), w.U32(size - 100), w.U32(8 + 2 + 6 * 12 + 4);
    w.U32(0);
    w.Raw(std::string(size, 'x'));
  });
  test::Write(picture, tooling::BuildJpeg(tiff));
  NewWrite(picture);
  EXPECT_LT(std::filesystem::file_size(test::P(exifinfo_)), 1u << 20);
  const auto records = RecordsIn(exifinfo_);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(Value(records[0], "Make").size(), 64u * 1024);
  Write();  // the next call reads the file back, and sets nothing aside
  EXPECT_EQ(RecordsIn(exifinfo_).size(), 4u);
  EXPECT_FALSE(test::Exists(exifinfo_ + ".unreadable-20110811143005"));
}

// A record another program wrote with a 12 MB value is read like any other
// (no 10 MB limit on one value): nothing is set aside for size alone.
TEST_F(WorkingFilesTest, AWorkingFileWithAValueOverTenMegabytesIsReadNotSetAside) {
  test::Write(exifinfo_,
              "<?xml version='1.0' encoding='GBK'?><root><info Filename='big.jpg' Note='" +
                  std::string(12 << 20, 'n') + "'/></root>");
  NewWrite(case_.case_folder + "/IMG_0001.JPG");
  EXPECT_FALSE(test::Exists(exifinfo_ + ".unreadable-20110811143005"));
  // (the workspace files' reader keeps libxml2's limits: the bytes tell)
  const std::string bytes = test::Read(exifinfo_);
  EXPECT_NE(bytes.find("<info Filename=\"big.jpg\" Note=\"nnnn"), std::string::npos);
  EXPECT_NE(bytes.find("Filename=\"IMG_0001.JPG\""), std::string::npos);
  EXPECT_GT(bytes.size(), 12u << 20);
}

// A picture that cannot be opened for a reason that may pass (descriptors
// exhausted) gets no record, which a later call writes whole: a record with
// empty Exif values would have stayed for good.
TEST_F(WorkingFilesTest, APictureNotReadForAPassingReasonIsRecordedByALaterCall) {
  auto pictures_fail = [](platform::Op op) {
    const std::string_view path = platform::FaultPath();
    const bool picture =
        op == platform::Op::kOpen && path.size() > 4 &&
        (path.substr(path.size() - 4) == ".JPG" || path.substr(path.size() - 4) == ".jpg");
    return picture ? platform::Fault{EMFILE} : platform::Fault{};
  };
  std::vector<Event> not_read;
  SetLogHandler([&](const Event& e) {
    if (e.code == PICMETA_EVENT_PICTURE_NOT_READ) not_read.push_back(e);
  });
  {
    test::FaultGuard faults(pictures_fail);
    Write();
    NewWrite(case_.case_folder + "/IMG_0003.JPG");
  }
  SetLogHandler(nullptr);
  EXPECT_TRUE(RecordsIn(exifinfo_).empty());
  ASSERT_EQ(not_read.size(), 4u);  // three listed pictures, one new-written
  EXPECT_EQ(not_read[0].os_error, EMFILE);
  EXPECT_EQ(not_read[0].severity, PICMETA_ERROR);
  EXPECT_NE(not_read[0].message.find("IMG_0001.JPG"), std::string::npos) << not_read[0].message;
  Write();
  NewWrite(case_.case_folder + "/IMG_0003.JPG");
  const auto records = RecordsIn(exifinfo_);
  ASSERT_EQ(records.size(), 4u);
  for (const auto& r : records) EXPECT_NE(Value(r, "Make"), "") << Value(r, "Filename");
}

// No folder lock is held while a picture is read: a slow picture never keeps
// another writer of the folder out.
TEST_F(WorkingFilesTest, PicturesAreReadWithoutTheFolderLock) {
  int opened = 0, locked = 0;
  {
    test::FaultGuard faults([&](platform::Op op) {
      const std::string_view path = platform::FaultPath();
      if (op == platform::Op::kOpen && path.size() > 4 && path.substr(path.size() - 4) == ".JPG") {
        ++opened;
        locked += platform::HoldingFolderLock() ? 1 : 0;
      }
      return platform::Fault{};
    });
    Write();
    NewWrite(case_.case_folder + "/IMG_0003.JPG");
  }
  EXPECT_EQ(RecordsIn(exifinfo_).size(), 4u);
  EXPECT_GE(opened, 3);
  EXPECT_EQ(locked, 0);
}

// While WriteDatatoXML reads its pictures, unlocked, another writer saves the
// file: the records made are added to the file as it is then, and nothing of
// the other writer's is lost.
TEST_F(WorkingFilesTest, AFileChangedWhilePicturesAreReadKeepsEveryonesRecords) {
  test::Write(exifinfo_,
              "<?xml version='1.0' encoding='GBK'?><root><info Filename='old.jpg'/></root>");
  bool changed = false;
  {
    test::FaultGuard faults([&](platform::Op op) {
      const std::string_view path = platform::FaultPath();
      if (!changed && op == platform::Op::kOpen && path.size() > 4 &&
          path.substr(path.size() - 4) == ".JPG") {
        changed = true;  // as another writer would: a new file, whole
        test::Write(exifinfo_ + ".new",
                    "<?xml version='1.0' encoding='GBK'?><root><info Filename='old.jpg'/>"
                    "<info Filename='other.jpg'/></root>");
        std::filesystem::rename(test::P(exifinfo_ + ".new"), test::P(exifinfo_));
      }
      return platform::Fault{};
    });
    Write();
  }
  ASSERT_TRUE(changed);
  EXPECT_EQ(Filenames(RecordsIn(exifinfo_)),
            (std::vector<std::string>{"old.jpg", "other.jpg", "IMG_0001.JPG", "IMG_0002.JPG",
                                      "车损.jpg"}));
}

TEST_F(WorkingFilesTest, AnUnreadableWorkingFileIsSetAsideNotOverwritten) {
  const std::string broken = "<?xml version='1.0' encoding='GBK'?><root><info Filename='old.jpg'/>";
  test::Write(exifinfo_, broken);
  Write();
  EXPECT_EQ(RecordsIn(exifinfo_).size(), 3u);
  const std::string aside = exifinfo_ + ".unreadable-20110811143005";
  EXPECT_EQ(test::Read(aside), broken);
  test::Write(exifinfo_, broken + "again");
  NewWrite(case_.case_folder + "/IMG_0001.JPG");
  EXPECT_EQ(test::Read(aside), broken);  // an earlier one is never overwritten
  EXPECT_EQ(test::Read(aside + "-2"), broken + "again");
}

TEST_F(WorkingFilesTest, ConcurrentWritersOfOneFolderLoseNothing) {
  constexpr int kThreads = 4, kEach = 50;
  const std::string folder = dir_ / "shared";
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kEach; ++i)
      test::Write(folder + "/p" + std::to_string(t) + "_" + std::to_string(i) + ".jpg",
                  tooling::BuildCameraJpeg({}));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      clsmain obj;
      for (int i = 0; i < kEach; ++i)
        obj.NewWriteDatatoXML(case_.app_path,
                              folder + "/p" + std::to_string(t) + "_" + std::to_string(i) + ".jpg",
                              "3100000ABCDEF001", "", std::to_string(t), "", "");
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(RecordsIn(folder + "/exifinfo.xml").size(), std::size_t{kThreads * kEach});
}

// CopyExifInfo ---------------------------------------------------------------

class CopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Documents in \A\B\C, \A\B\D and \E\F; \A\B\C\G\H\I\J nests four levels.
    test::Write(dir_ / "case/busiinfoprocess.xml", R"(<busiinfoprocess>
      <busiinforecord foldername="A"><subcalsscodeinforecord foldername="B">
        <doctypeinforecord foldername="C">)" + kDocs + R"(
          <doctypeinforecord foldername="G"><doctypeinforecord foldername="H">
            <doctypeinforecord foldername="I"><doctypeinforecord foldername="J">)" +
                                                       kDocs + R"(
            </doctypeinforecord></doctypeinforecord></doctypeinforecord></doctypeinforecord>
        </doctypeinforecord>
        <doctypeinforecord foldername="D">)" + kDocs + R"(</doctypeinforecord>
        <doctypeinforecord foldername="NoDocs"/>
      </subcalsscodeinforecord></busiinforecord>
      <busiinforecord foldername="E"><subcalsscodeinforecord foldername="F">)" +
                                                       kDocs + R"(
      </subcalsscodeinforecord></busiinforecord></busiinfoprocess>)");
  }
  void TearDown() override { SetFolderNotification(nullptr); }
  void Working(const std::string& folder, const std::vector<std::string>& names) {
    std::string body;
    for (const auto& n : names) body += "<info Filename=\"" + n + "\"/>";
    test::Write(dir_ / ("pics" + folder + "/exifinfo.xml"),
                "<?xml version='1.0' encoding='GBK'?><root>" + body + "</root>");
  }
  void Copy() { clsmain().CopyExifInfo(dir_ / "case", dir_ / "pics", "0815"); }
  std::string Output() const { return dir_ / "case/exif_0815_20110811143005.xml"; }
  std::vector<std::string> OutputNames() {
    std::string bytes = test::Read(Output());
    encrypt::Unscramble(bytes);
    platform::XmlDocument doc;
    EXPECT_TRUE(doc.LoadXML(bytes));
    std::vector<std::string> names;
    for (const auto& info : doc.SelectNodes("root/info"))
      names.push_back(info.GetAttribute("Filename").value_or(""));
    return names;
  }
  static inline const std::string kDocs =
      "<documentinfo><relationship><resourcemainindex resourcemainindex='1'/></relationship>"
      "</documentinfo>";
  test::FixedClock clock_;
  TempDir dir_;
};

TEST_F(CopyTest, MergesWorkingFilesInPostOrderAndDeletesThemAfterwards) {
  std::vector<std::string> told;
  SetFolderNotification([&](const std::string& f) { told.push_back(f); });
  Working("/A/B/D", {"d1", "d2"});
  Working("/A/B/C/G/H/I/J", {"j1"});
  Working("/E/F", {"f1", "f2", "f3"});
  test::Write(dir_ / "pics/A/B/C/photo.jpg", "untouched");
  Copy();
  // Told as the system spells folders.
  EXPECT_EQ(told, (std::vector<std::string>{test::Shown("/A/B/C/G/H/I/J"), test::Shown("/A/B/C"),
                                            test::Shown("/A/B/D"), test::Shown("/E/F")}));
  EXPECT_EQ(OutputNames(), (std::vector<std::string>{"j1", "d1", "d2", "f1", "f2", "f3"}));
  EXPECT_FALSE(test::Exists(dir_ / "pics/A/B/D/exifinfo.xml"));
  EXPECT_FALSE(test::Exists(dir_ / "pics/E/F/exifinfo.xml"));
  EXPECT_FALSE(test::Exists(dir_ / "pics/A/B/C/G/H/I/J/exifinfo.xml"));
  EXPECT_EQ(test::List(dir_ / "pics/A/B/C"), (std::vector<std::string>{"G", "photo.jpg"}));
  EXPECT_FALSE(test::Exists(dir_ / "case/exif_0815_20110811143005"));
}

TEST_F(CopyTest, ANotificationThatThrowsStopsNothing) {
  int told = 0;
  SetFolderNotification([&](const std::string&) {
    ++told;
    throw std::runtime_error("host failed");
  });
  Working("/A/B/D", {"d1"});
  Working("/E/F", {"f1"});
  Copy();
  EXPECT_EQ(told, 4);
  EXPECT_EQ(OutputNames(), (std::vector<std::string>{"d1", "f1"}));
  EXPECT_FALSE(test::Exists(dir_ / "pics/E/F/exifinfo.xml"));
}

TEST_F(CopyTest, TheCInterfaceNotifiesWithItsUserData) {
  Working("/E/F", {"f1"});
  std::vector<std::string> told;
  picmeta_set_folder_notification(
      [](const char* folder, void* data) {
        static_cast<std::vector<std::string>*>(data)->push_back(folder);
      },
      &told);
  Copy();
  picmeta_set_folder_notification(nullptr, nullptr);
  Working("/E/F", {"f2"});
  Copy();
  EXPECT_EQ(told.size(), 4u);  // four document folders, told once: the second call is silent
  EXPECT_EQ(told.back(), test::Shown("/E/F"));
}

TEST_F(CopyTest, NothingToCollectWritesNothing) {
  Copy();
  EXPECT_TRUE(test::List(dir_ / "case").size() == 1u);
  clsmain().CopyExifInfo(dir_ / "missing", dir_ / "pics", "0815");
  EXPECT_FALSE(test::Exists(dir_ / "missing"));
}

TEST_F(CopyTest, AnEmptyWorkingFileStillGivesAnOutputFile) {
  Working("/E/F", {});
  Copy();
  EXPECT_TRUE(test::Exists(Output()));
  EXPECT_TRUE(OutputNames().empty());
}

// A read-only working file could not be removed after the hand-over: its
// records would go out with every call. It is left as it is, not handed over.
TEST_F(CopyTest, AReadOnlyWorkingFileIsNeverHandedOverAndSlashesWork) {
  Working("/E/F", {"f1"});
  Working("/A/B/D", {"d1"});
  const std::string frozen = dir_ / "pics/E/F/exifinfo.xml";
  const std::string before = test::Read(frozen);
  ::chmod(frozen.c_str(), 0444);
  std::string folder = dir_ / "case", temp = dir_ / "pics";
  std::replace(folder.begin(), folder.end(), '/', '\\');
  std::replace(temp.begin(), temp.end(), '/', '\\');
  std::vector<Event> kept;
  SetLogHandler([&](const Event& e) {
    if (e.code == PICMETA_EVENT_WORKING_FILE_KEPT) kept.push_back(e);
  });
  for (int call = 0; call < 3; ++call) {
    picmeta_clsmain* obj = picmeta_clsmain_create();
    picmeta_clsmain_CopyExifInfo(obj, folder.c_str(), temp.c_str(), "0815");
    picmeta_clsmain_release(obj);
    clock_.Set(test::FixedClock::kInstant + 10 * (call + 1));
  }
  SetLogHandler(nullptr);
  EXPECT_EQ(OutputNames(), std::vector<std::string>{"d1"});
  // The other calls found nothing to hand over: one hand-over file in all.
  int handovers = 0;
  for (const auto& f : test::List(dir_ / "case")) handovers += f.rfind("exif_", 0) == 0 ? 1 : 0;
  EXPECT_EQ(handovers, 1);
  EXPECT_EQ(test::Read(frozen), before);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_NE(kept[0].message.find("read-only"), std::string::npos) << kept[0].message;
}

TEST_F(CopyTest, AFailedHandOverKeepsEveryWorkingFile) {
  Working("/A/B/D", {"d1", "d2"});
  Working("/E/F", {"f1"});
  const std::string d_before = test::Read(dir_ / "pics/A/B/D/exifinfo.xml");
  {
    test::FaultGuard faults([](platform::Op op) {
      return op == platform::Op::kWrite ? platform::Fault{ENOSPC} : platform::Fault{};
    });
    Copy();
  }
  EXPECT_EQ(test::Read(dir_ / "pics/A/B/D/exifinfo.xml"), d_before);
  EXPECT_TRUE(test::Exists(dir_ / "pics/E/F/exifinfo.xml"));
  EXPECT_EQ(test::List(dir_ / "case"), std::vector<std::string>{"busiinfoprocess.xml"});
}

TEST_F(CopyTest, AFolderListedTwiceIsTakenOnce) {
  test::Write(dir_ / "case/busiinfoprocess.xml",
              "<busiinfoprocess><busiinforecord foldername='E'><subcalsscodeinforecord "
              "foldername='F'>" +
                  kDocs +
                  "</subcalsscodeinforecord></busiinforecord>"
                  "<busiinforecord foldername='E'><subcalsscodeinforecord foldername='F'>" +
                  kDocs + "</subcalsscodeinforecord></busiinforecord></busiinfoprocess>");
  Working("/E/F", {"f1"});
  Copy();
  EXPECT_EQ(OutputNames(), std::vector<std::string>{"f1"});
}

}  // namespace
}  // namespace picmeta
