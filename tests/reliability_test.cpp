// No record lost, no file outside the case: the file service's refusals and
// statuses, hand-over names, hostile file systems and names, exactly-once
// hand-over, and bounded work on hostile pictures.
#ifndef _WIN32
#include <fcntl.h>
#endif
#include <gtest/gtest.h>
#ifndef _WIN32
#include <pthread.h>
#endif
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

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
#include "tests/support.h"
#include "tools/exif_builder.h"
#include "tools/sample_case.h"

namespace picmeta {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::vector<std::string> Filenames(const std::string& path, bool scrambled = false) {
  std::string bytes = test::Read(path);
  if (scrambled) encrypt::Unscramble(bytes);
  platform::XmlDocument doc;
  std::vector<std::string> names;
  if (!doc.LoadXML(bytes)) return {"<does not load>"};
  for (const auto& info : doc.SelectNodes("root/info"))
    names.push_back(info.GetAttribute("Filename").value_or(""));
  return names;
}

std::vector<std::string> HandOvers(const std::string& folder) {
  std::vector<std::string> out;
  for (const auto& name : test::List(folder))
    if (name.rfind("exif_", 0) == 0) out.push_back(name);
  return out;
}

#ifndef _WIN32  // POSIX by nature
// Runs f in a child process; false when it has not finished within seconds.
bool FinishesWithin(int seconds, const std::function<void()>& f) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    f();
    ::_exit(0);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
#endif

class Faults {
 public:
  explicit Faults(platform::FaultInjector injector) {
    platform::SetFaultInjector(std::move(injector));
  }
  ~Faults() { platform::SetFaultInjector(nullptr); }
};

class CaseTest : public ::testing::Test {
 public:
  void SetUp() override {
    case_ = tooling::BuildSampleCase(dir_.path());
    exifinfo_ = case_.case_folder + "/exifinfo.xml";
  }
  void Write() { clsmain().WriteDatatoXML(case_.app_path, case_.orgid, "", "0815", "", ""); }
  void NewWrite(const std::string& picture) {
    clsmain().NewWriteDatatoXML(case_.app_path, picture, case_.orgid, "", "0815", "", "");
  }
  void ReadExif(const std::string& operno = "0815") {
    clsmain().ReadEXIF(case_.temp_path, case_.app_path, "2", "", case_.orgid, "", operno, "", "",
                       "", "", "");
  }
  test::FixedClock clock_;
  TempDir dir_;
  tooling::SampleCase case_;
  std::string exifinfo_;
};

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
      HandOvers(app + "/copycase"),
      (std::vector<std::string>{"exif_0815_20110811143005.xml", "exif_0815_20110811143006.xml"}));
  EXPECT_EQ(Filenames(app + "/copycase/exif_0815_20110811143005.xml", true),
            std::vector<std::string>{"IMG_0001.JPG"});
  EXPECT_EQ(Filenames(app + "/copycase/exif_0815_20110811143006.xml", true),
            std::vector<std::string>{"IMG_0002.JPG"});

  ReadExif();
  ReadExif();
  EXPECT_EQ(HandOvers(app), (std::vector<std::string>{"exif_0815_20110811143005.xml",
                                                      "exif_0815_20110811143006.xml"}));
}

#ifndef _WIN32  // POSIX by nature
TEST_F(CaseTest, ProcessesRacingForOneHandOverNameEachGetTheirOwn) {
  constexpr int kProcesses = 4, kEach = 5;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (int i = 0; i < kEach; ++i) ReadExif();  // the clock stands still in every child
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) ::waitpid(pid, nullptr, 0);
  const auto files = HandOvers(case_.app_path);
  ASSERT_EQ(files.size(), std::size_t{kProcesses * kEach});
  EXPECT_EQ(files.front(), "exif_0815_20110811143005.xml");
  for (const auto& f : files) EXPECT_EQ(Filenames(case_.app_path + "/" + f, true).size(), 7u) << f;
}
#endif

TEST_F(CaseTest, OperatorNumbersNeverPlaceTheHandOverElsewhere) {
  fs::create_directories(case_.app_path + "/exif_x");
  ReadExif("x/../../../outside/evil");
  ReadExif("a\\b:c*?");
  const std::string long_operno(230, '7');
  ReadExif(long_operno);
  EXPECT_FALSE(test::Exists(dir_ / "outside"));
  EXPECT_TRUE(test::List(case_.app_path + "/exif_x").empty());
  const auto files = HandOvers(case_.app_path);
  const std::set<std::string> got(files.begin(), files.end());
  EXPECT_EQ(got.count("exif_x_.._.._.._outside_evil_20110811143005.xml"), 1u);
  EXPECT_EQ(got.count("exif_a_b_c___20110811143005.xml"), 1u);
  EXPECT_EQ(got.count("exif_" + long_operno + "_20110811143005.xml"), 1u);
  EXPECT_EQ(records::OperatorForFileName(std::string(300, 'x')).size(), 231u);
  EXPECT_EQ(records::OperatorForFileName(std::string(229, 'x') + "张三").size(),
            229u);  // not inside 张
}

// Hostile file systems ---------------------------------------------------------------

#ifndef _WIN32  // POSIX by nature
TEST_F(CaseTest, FifosUnderWorkspaceAndRecordNamesNeverBlock) {
  const char* workspace[] = {"busiinfoprocess.xml", "resourceprocess.xml", "documentfilesource.xml",
                             "top/kelexplorersource.xml", "top/case/kelexplorersource.xml"};
  for (const char* name : workspace) {
    const std::string path = case_.app_path + "/" + name;
    fs::rename(path, path + ".saved");
    ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
    EXPECT_TRUE(FinishesWithin(20, [&] {
      ReadExif();
      Write();
      NewWrite(case_.case_folder + "/IMG_0001.JPG");
      clsmain().CopyExifInfo(case_.app_path, case_.temp_path, "0815");
    })) << name;
    fs::remove(path);
    fs::rename(path + ".saved", path);
  }
  // A FIFO working file is set aside like an unreadable one.
  fs::remove(exifinfo_);
  ASSERT_EQ(::mkfifo(exifinfo_.c_str(), 0644), 0);
  EXPECT_TRUE(FinishesWithin(20, [&] { Write(); }));
  EXPECT_EQ(Filenames(exifinfo_).size(), 3u);
  EXPECT_TRUE(fs::is_fifo(exifinfo_ + ".unreadable-20110811143005"));
  // A FIFO picture is no picture.
  ASSERT_EQ(::mkfifo((case_.case_folder + "/pipe.jpg").c_str(), 0644), 0);
  EXPECT_TRUE(FinishesWithin(20, [&] { NewWrite(case_.case_folder + "/pipe.jpg"); }));
}
#endif

const std::string kThreeRecords =
    "<?xml version='1.0' encoding='GBK'?><root><info Filename='a.jpg'/><info Filename='b.jpg'/>"
    "<info Filename='c.jpg'/></root>";

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
      Faults faults(FailNth(c.op, c.writer_nth, c.error));
      NewWrite(case_.case_folder + "/IMG_0001.JPG");
    }
    {
      Faults faults(FailNth(c.op, c.writer_nth, c.error));
      Write();
    }
    {
      Faults faults(FailNth(c.op, c.delete_nth, c.error));
      clsmain().DeleteDatafromXML(case_.case_folder, "a.jpg");
    }
    EXPECT_EQ(test::Read(exifinfo_), kThreeRecords) << c.error;
    for (const auto& f : test::List(case_.case_folder))
      EXPECT_EQ(f.find("unreadable"), std::string::npos) << f;
    NewWrite(case_.case_folder + "/IMG_0001.JPG");  // without a fault the same call records
    EXPECT_EQ(Filenames(exifinfo_).size(), 4u);
  }
}

TEST_F(CaseTest, ShortReadsGiveTheSameRecords) {
  Write();
  const std::string plain = test::Read(exifinfo_);
  fs::remove(exifinfo_);
  {
    Faults faults([](platform::Op op) {
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
  EXPECT_EQ(Filenames(exifinfo_).size(), 3u);
  EXPECT_EQ(fs::file_size(exifinfo_ + ".unreadable-20110811143005"), (1u << 30) + 1);
}

#ifndef _WIN32  // POSIX by nature
TEST_F(CaseTest, SymbolicLinksAreReplacedNeverWrittenThrough) {
  const std::string target = dir_ / "elsewhere.xml";
  test::Write(target, kThreeRecords);
  ::chmod(target.c_str(), 0600);
  ASSERT_EQ(::symlink(target.c_str(), exifinfo_.c_str()), 0);
  NewWrite(case_.case_folder + "/IMG_0001.JPG");
  EXPECT_EQ(test::Read(target), kThreeRecords);
  EXPECT_FALSE(fs::is_symlink(exifinfo_));
  EXPECT_EQ(Filenames(exifinfo_), std::vector<std::string>{"IMG_0001.JPG"});

  const std::string link = dir_ / "link.xml";
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  const mode_t mask = ::umask(022);
  platform::AtomicWriteFile(link, "new");
  ::umask(mask);
  EXPECT_EQ(test::Read(target), kThreeRecords);
  EXPECT_EQ(test::Read(link), "new");
  struct stat st {};
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0644u);  // the library's own mode, not the target's 0600

  // A hand-over name taken by a link is left alone: the next second is used.
  const std::string handover = case_.app_path + "/exif_0815_20110811143005.xml";
  ASSERT_EQ(::symlink(target.c_str(), handover.c_str()), 0);
  ReadExif();
  EXPECT_EQ(test::Read(target), kThreeRecords);
  EXPECT_EQ(Filenames(case_.app_path + "/exif_0815_20110811143006.xml", true).size(), 7u);
}

TEST(FileService, StatusesTellWhatWentWrong) {
  TempDir dir;
  test::Write(dir / "f", "12345");
  ::mkfifo((dir / "fifo").c_str(), 0644);
  ::symlink((dir / "f").c_str(), (dir / "link").c_str());
  std::string bytes;
  using platform::FileStatus;
  EXPECT_EQ(platform::ReadWholeFile(dir / "none", 10, bytes).code, FileStatus::kNotFound);
  EXPECT_EQ(platform::ReadWholeFile(dir.path(), 10, bytes).code, FileStatus::kNotRegular);
  EXPECT_EQ(platform::ReadWholeFile(dir / "fifo", 10, bytes).code, FileStatus::kNotRegular);
  EXPECT_EQ(platform::ReadWholeFile(dir / "link", 10, bytes).code, FileStatus::kNotRegular);
  EXPECT_EQ(platform::ReadWholeFile(dir / "f", 4, bytes).code, FileStatus::kTooLarge);
  ASSERT_TRUE(platform::ReadWholeFile(dir / "f", 5, bytes).ok());
  EXPECT_EQ(bytes, "12345");
  {
    Faults faults([](platform::Op op) {
      return op == platform::Op::kRead ? platform::Fault{EIO} : platform::Fault{};
    });
    const auto s = platform::ReadWholeFile(dir / "f", 5, bytes);
    EXPECT_EQ(s.code, FileStatus::kIoError);
    EXPECT_EQ(s.error, std::errc::io_error);
  }
  EXPECT_FALSE(platform::FileExists(dir / "link"));
  EXPECT_EQ(platform::CreateExclusive(dir / "f", "x").code, FileStatus::kExists);
  EXPECT_EQ(test::Read(dir / "f"), "12345");
  EXPECT_EQ(test::List(dir.path()), (std::vector<std::string>{"f", "fifo", "link"}));
}

TEST(FileService, TheNoReplaceRenameFallsBackOnAHardLink) {
  TempDir dir;
  // renameat2 answering EINVAL, as on file systems without RENAME_NOREPLACE.
  Faults faults([](platform::Op op) {
    return op == platform::Op::kRename ? platform::Fault{EINVAL} : platform::Fault{};
  });
  ASSERT_TRUE(platform::CreateExclusive(dir / "a.xml", "first").ok());
  EXPECT_EQ(platform::CreateExclusive(dir / "a.xml", "second").code, platform::FileStatus::kExists);
  EXPECT_EQ(test::Read(dir / "a.xml"), "first");
  EXPECT_EQ(test::List(dir.path()), std::vector<std::string>{"a.xml"});
  struct stat st {};
  ASSERT_EQ(::stat((dir / "a.xml").c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 1u);  // the temporary name is gone
}
#endif

TEST(FileService, OnlyAbandonedTemporariesAreSweptAndNotOnEverySave) {
  TempDir dir;
  const std::string live = dir / ".pmtmp-99999-0-deadbeef";  // another host's writer
  const std::string old = dir / ".pmtmp-99998-0-deadbeef";
  test::Write(live, "in progress");
  test::Write(old, "abandoned");
  test::SetModified(old, std::time(nullptr) - 7200);
  platform::AtomicWriteFile(dir / "exifinfo.xml", "x");
  EXPECT_TRUE(test::Exists(live));
  EXPECT_FALSE(test::Exists(old));
  test::Write(old, "abandoned later");
  test::SetModified(old, std::time(nullptr) - 7200);
  platform::AtomicWriteFile(dir / "exifinfo.xml", "y");
  EXPECT_TRUE(test::Exists(old));  // the folder was swept within the hour
}

// Cancellation ------------------------------------------------------------------------

#ifndef _WIN32  // POSIX by nature
TEST_F(CaseTest, AThreadCancelledInsideACallIsCancelledAndTheProcessLivesOn) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer cannot follow a cancelled thread's unwinding";
#endif
  std::optional<platform::FolderLock> held;
  held.emplace(case_.case_folder);  // the call waits for the folder, at a cancellation point
  pthread_t thread;
  auto body = [](void* self) -> void* {
    static_cast<CaseTest*>(self)->Write();
    return nullptr;
  };
  ASSERT_EQ(::pthread_create(&thread, nullptr, body, this), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(::pthread_cancel(thread), 0);
  void* result = nullptr;
  ASSERT_EQ(::pthread_join(thread, &result), 0);
  EXPECT_EQ(result, PTHREAD_CANCELED);
  held.reset();
  Write();  // the library works on after it
  EXPECT_EQ(Filenames(exifinfo_).size(), 3u);
}
#endif

TEST_F(CaseTest, AMethodAfterALockTimeoutWorks) {
  {
    platform::FolderLock held(case_.case_folder);
    EXPECT_THROW(platform::FolderLock(case_.case_folder, 30), platform::FsError);
  }
  Write();
  EXPECT_EQ(Filenames(exifinfo_).size(), 3u);
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
  EXPECT_EQ(Filenames(dir / "app/exif_2_20110811143005.xml", true),
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
  EXPECT_EQ(Filenames(dir / "app/exif_1_20110811143005.xml", true),
            (std::vector<std::string>{"", "", ""}));
}

TEST_F(CaseTest, NamesAreLookedUpAsTheyAreStored) {
  test::Write(case_.case_folder + "/ lead.jpg", tooling::BuildCameraJpeg({}));
  NewWrite(case_.case_folder + "/ lead.jpg");
  NewWrite(case_.case_folder + "/ lead.jpg");
  EXPECT_EQ(Filenames(exifinfo_), std::vector<std::string>{"lead.jpg"});
  test::Write(case_.case_folder + "/kelexplorersource.xml",
              "<kelexplorerinfo><file name=' lead.jpg' processflag='1'/></kelexplorerinfo>");
  Write();
  Write();
  EXPECT_EQ(Filenames(exifinfo_), std::vector<std::string>{"lead.jpg"});
  clsmain().DeleteDatafromXML(case_.case_folder, " lead.jpg");
  EXPECT_TRUE(Filenames(exifinfo_).empty());
}

// Exactly once ------------------------------------------------------------------------------

class ExactlyOnce : public ::testing::Test {
 protected:
  void SetUp() override {
    test::Write(dir_ / "case/busiinfoprocess.xml",
                "<busiinfoprocess><busiinforecord foldername='A'><subcalsscodeinforecord "
                "foldername='B'><documentinfo><relationship><resourcemainindex/></relationship>"
                "</documentinfo></subcalsscodeinforecord></busiinforecord></busiinfoprocess>");
    const auto c = tooling::BuildSampleCase(dir_ / "ws");
    app_ = c.app_path;
    orgid_ = c.orgid;
  }
  void Copy() { clsmain().CopyExifInfo(dir_ / "case", dir_ / "pics", "9"); }
  // Every record of every hand-over file and of the working file.
  std::map<std::string, int> Census() {
    std::map<std::string, int> seen;
    for (const auto& f : HandOvers(dir_ / "case"))
      for (const auto& n : Filenames(dir_ / ("case/" + f), true)) seen[n]++;
    if (test::Exists(dir_ / "pics/A/B/exifinfo.xml"))
      for (const auto& n : Filenames(dir_ / "pics/A/B/exifinfo.xml")) seen[n]++;
    return seen;
  }
  test::FixedClock clock_;
  TempDir dir_;
  std::string app_, orgid_;
};

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
    Faults faults([&, done = false](platform::Op) mutable {
      if (!done && Claimed(dir_ / "pics/A/B")) {
        done = true;
        test::Write(working,
                    "<?xml version='1.0' encoding='GBK'?><root><info Filename='d2'/></root>");
      }
      return platform::Fault{};
    });
    Copy();
  }
  EXPECT_EQ(Filenames(dir_ / "case/exif_9_20110811143005.xml", true),
            std::vector<std::string>{"d1"});
  EXPECT_EQ(Filenames(working), std::vector<std::string>{"d2"});
  EXPECT_EQ(test::List(dir_ / "pics/A/B"), std::vector<std::string>{"exifinfo.xml"});
}

#ifndef _WIN32  // POSIX by nature
TEST_F(ExactlyOnce, WritersRacingCopyExifInfoPutEveryRecordInExactlyOnePlace) {
  constexpr int kWriters = 3, kEach = 30;
  const std::string picture = tooling::BuildCameraJpeg({});
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < kEach; ++i)
      test::Write(dir_ / ("pics/A/B/p" + std::to_string(w) + "_" + std::to_string(i) + ".jpg"),
                  picture);
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      clsmain obj;
      for (int i = 0; i < kEach; ++i) {
        // Halfway, each writer waits for one hand-over, so that there are
        // surely several, whatever the machine's speed.
        if (i == kEach / 2) {
          test::Write(dir_ / ("half-" + std::to_string(w)), "");
          while (!test::Exists(dir_ / "copied-once")) ::usleep(1000);
        }
        obj.NewWriteDatatoXML(
            app_, dir_ / ("pics/A/B/p" + std::to_string(w) + "_" + std::to_string(i) + ".jpg"),
            orgid_, "", "1", "", "");
      }
      ::_exit(0);
    }
    writers.push_back(pid);
  }
  const std::string done = dir_ / "writers-done";
  const pid_t copier = ::fork();
  if (copier == 0) {
    for (int w = 0; w < kWriters; ++w)
      while (!test::Exists(dir_ / ("half-" + std::to_string(w)))) ::usleep(1000);
    Copy();
    test::Write(dir_ / "copied-once", "");
    int calls = 0;
    while (!test::Exists(done) || calls < 3) {
      Copy();
      ++calls;
    }
    ::_exit(0);
  }
  for (const pid_t pid : writers) ::waitpid(pid, nullptr, 0);
  test::Write(done, "");
  ::waitpid(copier, nullptr, 0);
  Copy();
  const auto seen = Census();
  EXPECT_EQ(seen.size(), std::size_t{kWriters * kEach});
  for (const auto& [name, n] : seen) EXPECT_EQ(n, 1) << name;
  EXPECT_GT(HandOvers(dir_ / "case").size(), 1u);
}
#endif

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

#ifndef _WIN32  // POSIX by nature (the watchdog forks)
// Forty thousand Exif IFD pointers of type ASCII, each a different length of
// one run of half a megabyte of "0": each was once decoded in full (minutes).
TEST(HostilePictures, ManyPointersIntoOneLongRunOfDigitsStayCheap) {
  TempDir dir;
  const std::string path = dir / "pointers.jpg";
  constexpr std::uint32_t kEntries = 40000, kRun = 500000;
  test::Write(path, tooling::BuildJpeg(
                        tooling::HandTiff(tooling::Order::kIntel, [](tooling::ByteWriter& w) {
                          const std::uint32_t value_at = 8 + 2 + 12 * kEntries + 4;
                          w.U16(static_cast<std::uint16_t>(kEntries));
                          for (std::uint32_t i = 0; i < kEntries; ++i)
                            w.U16(0x8769), w.U16(2), w.U32(kRun - i % 997), w.U32(value_at);
                          w.U32(0);
                          w.Raw(std::string(kRun, '0'));
                        })));
  EXPECT_TRUE(FinishesWithin(20, [&] {
    clsPicinfo record;
    Public_Function::ReadPicInfo(path, record);
    if (record.Ifdoffset().empty()) ::_exit(1);
  }));
}

// One element with 200 000 attributes (libxml2 checks them pairwise): the
// file is refused before it is parsed, whichever file it is.
TEST_F(CaseTest, AnElementWithTooManyAttributesIsRefusedAtOnce) {
  std::string many = "<busiinfoprocess ";
  for (int i = 0; i < 200000; ++i) many += "a" + std::to_string(i) + "='' ";
  many += "/>";
  test::Write(case_.app_path + "/copycase/busiinfoprocess.xml", many);
  std::string many_info = "<?xml version='1.0' encoding='GBK'?><root><info Filename='kept.jpg' ";
  for (int i = 0; i < 200000; ++i) many_info += "a" + std::to_string(i) + "='' ";
  test::Write(exifinfo_, many_info + "/></root>");
  std::vector<Event> refused;
  SetLogHandler([&](const Event& e) {
    if (e.message.find("more than 256 attributes") != std::string::npos) refused.push_back(e);
  });
  EXPECT_TRUE(FinishesWithin(
      20, [&] { clsmain().CopyExifInfo(case_.app_path + "/copycase", case_.app_path, "1"); }));
  EXPECT_TRUE(FinishesWithin(20, [&] { NewWrite(case_.case_folder + "/IMG_0001.JPG"); }));
  clsmain().CopyExifInfo(case_.app_path + "/copycase", case_.app_path, "1");
  SetLogHandler(nullptr);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].code, PICMETA_EVENT_WORKSPACE_FILE_NOT_LOADED);
  // The working file was set aside whole (by the call in the watched child),
  // never overwritten.
  EXPECT_EQ(test::Read(exifinfo_ + ".unreadable-20110811143005"), many_info + "/></root>");
  EXPECT_EQ(Filenames(exifinfo_), std::vector<std::string>{"IMG_0001.JPG"});
}
#endif

}  // namespace
}  // namespace picmeta
