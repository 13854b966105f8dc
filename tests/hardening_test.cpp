#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "capture/public_function.h"
#include "picmeta/clsmain.h"
#include "platform/os/clock.h"
#include "platform/os/fs.h"
#include "platform/xml/document.h"
#include "reader/exif_reader.h"
#include "records/picinfo.h"
#include "scramble/encrypt.h"
#include "tests/support.h"
#include "tools/exif_builder.h"
#include "tools/sample_case.h"

namespace picmeta {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

using test::FilesIn;
using test::HasTemporary;

// Hostile inputs ---------------------------------------------------------------

TEST(HostileInputs, PicturesFinishQuicklyAndSilently) {
  const auto files = FilesIn(std::string(PICMETA_SOURCE_DIR) + "/tests/hostile/pictures");
  ASSERT_GE(files.size(), 20u);
  test::CaptureOutput out;
  for (const auto& f : files) {
    reader::ExifReader reader;
    try {
      reader.Load(f);
    } catch (const reader::ExifError&) {
    }
    EXPECT_LE(reader.RecordCount(), 70000u) << f;
    clsPicinfo record;
    Public_Function::ReadPicInfo(f, record);
    EXPECT_EQ(record.Filename(), fs::path(f).filename().string());
    EXPECT_LE(reader.BytesRead(), 256 * 1024) << f;  // a few blocks, never the whole file
  }
  EXPECT_EQ(out.Finish(), "");
}

TEST(HostileInputs, LargePictureWithoutExifIsScannedWithoutHoldingIt) {
  TempDir dir;
  test::Write(dir / "big.jpg", tooling::BuildJfif({false, "", 8 << 20, 5}));
  clsPicinfo record;
  record.Make("kept");
  Public_Function::ReadPicInfo(dir / "big.jpg", record);
  EXPECT_EQ(record.Make(), "kept");
  EXPECT_GT(std::stoll(record.FileSize()), 8 << 20);
}

class HostileXmlFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    case_ = tooling::BuildSampleCase(dir_.path());
    files_ = FilesIn(std::string(PICMETA_SOURCE_DIR) + "/tests/hostile/xml");
  }
  void RunAll(clsmain& obj) {
    obj.ReadEXIF(case_.temp_path, case_.app_path, "2", "", case_.orgid, "", "0815", "", "", "", "",
                 "");
    obj.WriteDatatoXML(case_.app_path, case_.orgid, "", "0815", "", "");
    obj.NewWriteDatatoXML(case_.app_path, case_.case_folder + "/IMG_0001.JPG", case_.orgid, "",
                          "0815", "", "");
    obj.DeleteDatafromXML(case_.case_folder, "IMG_0002.JPG");
    obj.CopyExifInfo(case_.app_path, case_.temp_path, "0815");
  }
  test::FixedClock clock_;
  TempDir dir_;
  tooling::SampleCase case_;
  std::vector<std::string> files_;
};

TEST_F(HostileXmlFiles, AsWorkspaceFilesTheyStopNothingButTheirReaders) {
  ASSERT_GE(files_.size(), 10u);
  const char* workspace[] = {"busiinfoprocess.xml", "resourceprocess.xml", "documentfilesource.xml",
                             "top/kelexplorersource.xml", "top/case/kelexplorersource.xml"};
  test::CaptureOutput out;
  clsmain obj;
  for (const auto& f : files_) {
    for (const char* name : workspace) {
      const std::string target = case_.app_path + "/" + name;
      const std::string saved = test::Read(target);
      const std::string hostile = test::Read(f);
      test::Write(target, hostile);
      RunAll(obj);
      EXPECT_EQ(test::Read(target), hostile) << "the host's file is never written";
      test::Write(target, saved);
    }
  }
  EXPECT_EQ(out.Finish(), "");
}

TEST_F(HostileXmlFiles, AsWorkingFilesTheyAreNeverLost) {
  test::CaptureOutput out;
  clsmain obj;
  for (const auto& f : files_) {
    const std::string hostile = test::Read(f);
    platform::XmlDocument probe;
    const bool loads = static_cast<bool>(probe.Load(test::At(f), platform::Blanks::kDrop));
    for (const auto& entry : FilesIn(case_.case_folder))
      if (entry.find("exifinfo.xml") != std::string::npos) fs::remove(entry);
    test::Write(case_.case_folder + "/exifinfo.xml", hostile);
    obj.DeleteDatafromXML(case_.case_folder, "IMG_0001.JPG");
    if (!loads) {
      EXPECT_EQ(test::Read(case_.case_folder + "/exifinfo.xml"), hostile) << f;
    }
    obj.WriteDatatoXML(case_.app_path, case_.orgid, "", "0815", "", "");
    bool kept = false;  // the bytes stand either in place or set aside
    for (const auto& entry : FilesIn(case_.case_folder))
      kept |= entry.find("exifinfo.xml") != std::string::npos && test::Read(entry) == hostile;
    EXPECT_TRUE(kept || loads) << f;
    // Records go under the document element, whatever its name.
    EXPECT_GE(test::RecordNameSet(case_.case_folder + "/exifinfo.xml", false, "/*/info").size(), 3u)
        << f;
  }
  EXPECT_EQ(out.Finish(), "");
}

TEST(HostileInputs, DeepNestingAndHundredThousandRecords) {
  TempDir dir;
  std::string deep =
      "<busiinfoprocess><busiinforecord foldername='R' classcode='11020000'>"
      "<subcalsscodeinforecord foldername='S'>";
  for (int i = 0; i < 10000; ++i) deep += "<doctypeinforecord foldername='d'>";
  for (int i = 0; i < 10000; ++i) deep += "</doctypeinforecord>";
  deep += "</subcalsscodeinforecord></busiinforecord></busiinfoprocess>";
  test::Write(dir / "app/busiinfoprocess.xml", deep);
  clsmain obj;
  obj.ReadEXIF(dir / "pics", dir / "app", "2", "", "", "", "1", "", "", "", "", "");
  obj.CopyExifInfo(dir / "app", dir / "pics", "1");
  EXPECT_EQ(test::List(dir / "app"), std::vector<std::string>{"busiinfoprocess.xml"});

  std::string records = "<?xml version='1.0' encoding='GBK'?><root>";
  for (int i = 0; i < 100000; ++i) records += "<info Filename='p" + std::to_string(i) + ".jpg'/>";
  test::Write(dir / "big/exifinfo.xml", records + "</root>");
  obj.DeleteDatafromXML(dir / "big", "p50000.jpg");
  const auto names = test::RecordNameSet(dir / "big/exifinfo.xml");
  EXPECT_EQ(names.size(), 99999u);
  EXPECT_EQ(names.count("p50000.jpg"), 0u);
}

// Crash consistency ---------------------------------------------------------------

// I/O faults ------------------------------------------------------------------------

// Fails the n-th write, fsync, rename or unlink (counted together) with ENOSPC.
class FaultAt {
 public:
  explicit FaultAt(int n)
      : guard_([this, n](platform::Op op) {
          // Changes only: reads are faulted by tests of their own.
          if (op == platform::Op::kRead || op == platform::Op::kStat || op == platform::Op::kOpen ||
              op == platform::Op::kLock)
            return platform::Fault{};
          return ++seen_ == n ? platform::Fault{ENOSPC} : platform::Fault{};
        }) {}
  int seen() const { return seen_; }

 private:
  int seen_ = 0;
  test::FaultGuard guard_;
};

class IoFaults : public ::testing::Test {
 protected:
  test::FixedClock clock_;
};

TEST_F(IoFaults, ASaveLeavesTheOldFileOrTheNewOneAndNoStrayFile) {
  const std::string before =
      "<?xml version='1.0' encoding='GBK'?><root><info Filename='A'/><info Filename='B'/></root>";
  for (int n = 1;; ++n) {
    TempDir dir;
    test::Write(dir / "exifinfo.xml", before);
    FaultAt fault(n);
    clsmain().DeleteDatafromXML(dir.path(), "A");
    const int seen = fault.seen();
    const std::string after = test::Read(dir / "exifinfo.xml");
    EXPECT_TRUE(after == before ||
                test::RecordNameSet(dir / "exifinfo.xml") == std::multiset<std::string>{"B"})
        << "fault " << n;
    EXPECT_EQ(test::List(dir.path()), std::vector<std::string>{"exifinfo.xml"}) << "fault " << n;
    if (seen < n) break;  // the call finished before the n-th operation
  }
}

TEST_F(IoFaults, ReadExifWritesTheWholeHandOverOrNothing) {
  for (int n = 1;; ++n) {
    TempDir dir;
    const auto c = tooling::BuildSampleCase(dir.path());
    const auto workspace = test::List(c.app_path);
    FaultAt fault(n);
    clsmain().ReadEXIF(c.temp_path, c.app_path, "2", "", c.orgid, "", "0815", "", "", "", "", "");
    const int seen = fault.seen();
    const std::string out = c.app_path + "/exif_0815_20110811143005.xml";
    auto files = test::List(c.app_path);
    if (test::Exists(out)) {
      EXPECT_EQ(test::RecordNameSet(out, true).size(), 7u) << "fault " << n;
      files.erase(std::find(files.begin(), files.end(), "exif_0815_20110811143005.xml"));
    }
    EXPECT_EQ(files, workspace) << "fault " << n;
    if (seen < n) break;
  }
}

TEST_F(IoFaults, CopyExifInfoNeverLosesARecord) {
  const std::string busi =
      "<busiinfoprocess><busiinforecord foldername='A'><subcalsscodeinforecord foldername='B'>"
      "<doctypeinforecord foldername='C'><documentinfo><relationship><resourcemainindex/>"
      "</relationship></documentinfo></doctypeinforecord><doctypeinforecord foldername='D'>"
      "<documentinfo><relationship><resourcemainindex/></relationship></documentinfo>"
      "</doctypeinforecord></subcalsscodeinforecord></busiinforecord></busiinfoprocess>";
  const std::string c_file =
      "<?xml version='1.0' encoding='GBK'?><root><info Filename='c1'/><info Filename='c2'/></root>";
  const std::string d_file =
      "<?xml version='1.0' encoding='GBK'?><root><info Filename='d1'/></root>";
  for (int n = 1;; ++n) {
    TempDir dir;
    test::Write(dir / "case/busiinfoprocess.xml", busi);
    test::Write(dir / "pics/A/B/C/exifinfo.xml", c_file);
    test::Write(dir / "pics/A/B/D/exifinfo.xml", d_file);
    FaultAt fault(n);
    clsmain().CopyExifInfo(dir / "case", dir / "pics", "0815");
    const int seen = fault.seen();
    const std::string out = dir / "case/exif_0815_20110811143005.xml";
    std::multiset<std::string> everywhere;
    if (test::Exists(out)) everywhere = test::RecordNameSet(out, true);
    for (const char* f : {"pics/A/B/C/exifinfo.xml", "pics/A/B/D/exifinfo.xml"}) {
      if (!test::Exists(dir / f)) continue;
      for (const auto& name : test::RecordNameSet(dir / f)) everywhere.insert(name);
      EXPECT_EQ(test::Read(dir / f),
                std::string(f).find("/C/") != std::string::npos ? c_file : d_file);
    }
    for (const char* name : {"c1", "c2", "d1"})
      EXPECT_GE(everywhere.count(name), 1u) << "fault " << n;
    if (!test::Exists(out)) {
      EXPECT_TRUE(test::Exists(dir / "pics/A/B/C/exifinfo.xml")) << "fault " << n;
      EXPECT_TRUE(test::Exists(dir / "pics/A/B/D/exifinfo.xml")) << "fault " << n;
    }
    for (const char* d : {"case", "pics/A/B/C", "pics/A/B/D"}) EXPECT_FALSE(HasTemporary(dir / d));
    if (seen < n) break;
  }
}

// Threads ---------------------------------------------------------------------------

// Eight objects on eight threads run all five methods, on folders of their own
// and on one shared folder; the shared folder must end with every record.
TEST(Threads, AllMethodsOnSharedAndOwnFoldersLoseNothing) {
  constexpr int kThreads = 8, kEach = 12;
  TempDir dir;
  const auto c = tooling::BuildSampleCase(dir / "case");
  const std::string picture = tooling::BuildCameraJpeg({});
  const std::string shared = dir / "shared";
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      test::Write(shared + "/s" + std::to_string(t) + "_" + std::to_string(i) + ".jpg", picture);
      test::Write(dir / ("own" + std::to_string(t) + "/o" + std::to_string(i) + ".jpg"), picture);
    }
    tooling::BuildSampleCase(dir / ("copy" + std::to_string(t)));
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      clsmain obj;
      const std::string own = dir / ("own" + std::to_string(t));
      const std::string copy = dir / ("copy" + std::to_string(t));
      const std::string op = std::to_string(t);
      for (int i = 0; i < kEach; ++i) {
        const std::string n = std::to_string(t) + "_" + std::to_string(i);
        obj.NewWriteDatatoXML(c.app_path, shared + "/s" + n + ".jpg", c.orgid, "", op, "", "");
        obj.NewWriteDatatoXML(c.app_path, own + "/o" + std::to_string(i) + ".jpg", c.orgid, "", op,
                              "", "");
        if (i % 2) obj.DeleteDatafromXML(own, "o" + std::to_string(i - 1) + ".jpg");
        if (i % 4 == 0) obj.WriteDatatoXML(c.app_path, c.orgid, "", op, "", "");
        if (i % 6 == 0) {
          obj.ReadEXIF(c.temp_path, c.app_path, "2", "", c.orgid, "", op + "_" + std::to_string(i),
                       "", "", "", "", "");
        }
        if (i == kEach - 1) {
          obj.NewWriteDatatoXML(copy + "/app", copy + "/pictures/车险/定损/现场照片/front.jpg",
                                c.orgid, "", op, "", "");
          obj.CopyExifInfo(copy + "/app", copy + "/pictures", op);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(test::RecordNameSet(shared + "/exifinfo.xml").size(), std::size_t{kThreads * kEach});
  EXPECT_EQ(test::RecordNameSet(c.case_folder + "/exifinfo.xml").size(), 3u);
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(test::RecordNameSet(dir / ("own" + std::to_string(t) + "/exifinfo.xml")).size(),
              kEach / 2u);
  // Each ReadEXIF handed over the whole case, each CopyExifInfo its one record.
  std::size_t readexif = 0;
  for (const auto& f : FilesIn(c.app_path)) {
    if (fs::path(f).filename().string().rfind("exif_", 0) != 0) continue;
    ++readexif;
    EXPECT_EQ(test::RecordNameSet(f, true).size(), 7u) << f;
  }
  EXPECT_EQ(readexif, std::size_t{kThreads * 2});
  for (int t = 0; t < kThreads; ++t) {
    const std::string copy = dir / ("copy" + std::to_string(t));
    std::vector<std::string> handovers;
    for (const auto& f : FilesIn(copy + "/app"))
      if (fs::path(f).filename().string().rfind("exif_", 0) == 0) handovers.push_back(f);
    ASSERT_EQ(handovers.size(), 1u) << t;
    EXPECT_EQ(test::RecordNameSet(handovers[0], true), std::multiset<std::string>{"front.jpg"});
    EXPECT_FALSE(test::Exists(copy + "/pictures/车险/定损/现场照片/exifinfo.xml"));
  }
}

}  // namespace
}  // namespace picmeta
