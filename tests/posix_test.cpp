// What only a POSIX system can hold or do, the mirror of windows_test.cpp:
// file names that are not UTF-8, descriptors, file modes, FIFOs and symbolic
// links, processes forked, killed or watched, threads cancelled.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "capture/public_function.h"
#include "picmeta/clsmain.h"
#include "picmeta/picmeta.h"
#include "platform/os/fs.h"
#include "platform/xml/document.h"
#include "records/hand_over.h"
#include "records/picinfo.h"
#include "tests/fixtures.h"
#include "tests/support.h"
#include "tools/exif_builder.h"
#include "tools/sample_case.h"

namespace picmeta {
namespace {

namespace fs = std::filesystem;
using test::CaseTest;
using test::EventsTest;
using test::ExactlyOnce;
using test::FilesIn;
using test::HandOverTest;
using test::HasTemporary;
using test::kThree;
using test::kThreeRecords;
using test::TempDir;

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

// Names a record could not hold exactly (GBK bytes on a UTF-8 disk, control
// characters) would collapse into one record: ".jpg" for 正面.jpg and 背面.jpg,
// "a.jpg" for a\x01.jpg and a\x02.jpg. Such pictures get no working record,
// and deleting by such a name removes no other picture's record.
TEST(PosixNames, PicturesWhoseNamesCannotBeStoredNeverShareARecord) {
  test::FixedClock clock;
  test::TempDir dir;
  const auto c = tooling::BuildSampleCase(dir.path());
  const std::string picture = tooling::BuildCameraJpeg({});
  const std::string folder = c.case_folder;
  const std::vector<std::string> odd = {"\xD5\xFD\xC3\xE6.jpg", "\xB1\xB3\xC3\xE6.jpg", "a\x01.jpg",
                                        "a\x02.jpg"};
  for (const auto& name : odd) test::Write(folder + "/" + name, picture);
  test::Write(folder + "/a.jpg", picture);
  std::vector<Event> events;
  SetLogHandler([&](const Event& e) {
    if (e.code == PICMETA_EVENT_NAME_NOT_STORABLE) events.push_back(e);
  });
  clsmain obj;
  obj.NewWriteDatatoXML(c.app_path, folder + "/a.jpg", c.orgid, "", "1", "", "");
  for (const auto& name : odd)
    obj.NewWriteDatatoXML(c.app_path, folder + "/" + name, c.orgid, "", "1", "", "");
  EXPECT_EQ(test::RecordNames(folder + "/exifinfo.xml"), std::vector<std::string>{"a.jpg"});
  obj.DeleteDatafromXML(folder, "a\x01.jpg");
  EXPECT_EQ(test::RecordNames(folder + "/exifinfo.xml"), std::vector<std::string>{"a.jpg"});
  SetLogHandler(nullptr);
  EXPECT_EQ(events.size(), odd.size() + 1);
  for (const auto& e : events) EXPECT_EQ(e.severity, PICMETA_WARNING);
}

// A host that closed its standard input must not find a file of ours there:
// whatever it then reads or writes on descriptor 0 would be our file's.
TEST(PosixFiles, FilesTheLibraryKeepsOpenNeverTakeTheStandardStreams) {
  test::TempDir dir;
  test::Write(dir / "a.xml", "abc");
  const int saved = ::dup(0);
  ASSERT_GE(saved, 0);
  ::close(0);
  platform::ReadFile file;
  const platform::Status opened = file.Open(test::At(dir / "a.xml"));
  const bool read_took_it = ::fcntl(0, F_GETFD) != -1;
  platform::LockedFile journal;
  const platform::Status created = journal.Create(test::At(dir / "journal"), "picmeta");
  const bool journal_took_it = ::fcntl(0, F_GETFD) != -1;
  bool lock_took_it = false;
  {
    const platform::FolderLock lock = test::Locked(test::At(dir.path()));
    lock_took_it = ::fcntl(0, F_GETFD) != -1;
  }
  ASSERT_TRUE(platform::AtomicWriteFile(test::At(dir / "b.xml"), "written").ok());
  ::dup2(saved, 0);
  ::close(saved);
  ASSERT_TRUE(opened.ok());
  ASSERT_TRUE(created.ok());
  EXPECT_FALSE(read_took_it);
  EXPECT_FALSE(journal_took_it);
  EXPECT_FALSE(lock_took_it);
  char bytes[3];
  ASSERT_TRUE(file.ReadAt(0, bytes, 3).ok());
  EXPECT_EQ(std::string(bytes, 3), "abc");
  EXPECT_EQ(test::Read(dir / "b.xml"), "written");
}

// File modes ---------------------------------------------------------------------

TEST(PosixFiles, AReplacedFileKeepsItsMode) {
  TempDir dir;
  test::Write(dir / "f.xml", "old content that is longer");
  ::chmod((dir / "f.xml").c_str(), 0640);
  ASSERT_TRUE(platform::AtomicWriteFile(test::At(dir / "f.xml"), "new").ok());
  EXPECT_EQ(test::Read(dir / "f.xml"), "new");
  struct stat st {};
  ::stat((dir / "f.xml").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// Paths --------------------------------------------------------------------------

// POSIX resolves ".." through the folders named: an output path through a
// missing folder reaches nothing, even where it would end at the case.
TEST(PosixPaths, AnOutputPathThroughAMissingFolderWritesNothing) {
  test::FixedClock clock;
  TempDir dir;
  test::Write(dir / "app/busiinfoprocess.xml",
              "<busiinfoprocess><busiinforecord foldername='R' classcode='11020000'/>"
              "</busiinfoprocess>");
  test::Write(dir / "app/resourceprocess.xml", "<documentinfo/>");
  const auto before = test::List(dir / "app");
  test::CaptureOutput out;
  clsmain().ReadEXIF(dir / "pics", dir / "app/../missing/../app", "2", "", "3100000ABCDEF001",
                     "31000", "0815", "", "", "", "", "");
  EXPECT_EQ(out.Finish(), "");
  EXPECT_EQ(test::List(dir / "app"), before);
  EXPECT_EQ(test::List(dir.path()), std::vector<std::string>{"app"});
}

// FIFOs and symbolic links -------------------------------------------------------

TEST_F(EventsTest, WorkspaceFilesThatDoNotLoadSayWhy) {
  const std::string busi = case_.app_path + "/busiinfoprocess.xml";
  fs::remove(busi);
  ASSERT_EQ(::mkfifo(busi.c_str(), 0644), 0);
  ReadExif();
  fs::remove(busi);
  test::Write(busi, "<!DOCTYPE x><busiinfoprocess/>");
  ReadExif();
  test::Write(busi, "<busiinfoprocess>");
  ReadExif();
  fs::remove(busi);
  ReadExif();
  const auto events = Of(PICMETA_EVENT_WORKSPACE_FILE_NOT_LOADED);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].message, "busiinfoprocess.xml: not a regular file");
  EXPECT_EQ(events[1].message, "busiinfoprocess.xml: has a DOCTYPE");
  EXPECT_EQ(events[2].message, "busiinfoprocess.xml: not well-formed");
  EXPECT_EQ(events[3].message, "busiinfoprocess.xml: missing");
}

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
  EXPECT_EQ(test::RecordNames(exifinfo_).size(), 3u);
  EXPECT_TRUE(fs::is_fifo(exifinfo_ + ".unreadable-20110811143005"));
  // A FIFO picture is no picture.
  ASSERT_EQ(::mkfifo((case_.case_folder + "/pipe.jpg").c_str(), 0644), 0);
  EXPECT_TRUE(FinishesWithin(20, [&] { NewWrite(case_.case_folder + "/pipe.jpg"); }));
}

TEST_F(CaseTest, SymbolicLinksAreReplacedNeverWrittenThrough) {
  const std::string target = dir_ / "elsewhere.xml";
  test::Write(target, kThreeRecords);
  ::chmod(target.c_str(), 0600);
  ASSERT_EQ(::symlink(target.c_str(), exifinfo_.c_str()), 0);
  NewWrite(case_.case_folder + "/IMG_0001.JPG");
  EXPECT_EQ(test::Read(target), kThreeRecords);
  EXPECT_FALSE(fs::is_symlink(exifinfo_));
  EXPECT_EQ(test::RecordNames(exifinfo_), std::vector<std::string>{"IMG_0001.JPG"});

  const std::string link = dir_ / "link.xml";
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  const mode_t mask = ::umask(022);
  ASSERT_TRUE(platform::AtomicWriteFile(test::At(link), "new").ok());
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
  EXPECT_EQ(test::RecordNames(case_.app_path + "/exif_0815_20110811143006.xml", true).size(), 7u);
}

TEST(FileService, StatusesTellWhatWentWrong) {
  TempDir dir;
  test::Write(dir / "f", "12345");
  ::mkfifo((dir / "fifo").c_str(), 0644);
  ::symlink((dir / "f").c_str(), (dir / "link").c_str());
  std::string bytes;
  using platform::FileStatus;
  EXPECT_EQ(platform::ReadWholeFile(test::At(dir / "none"), 10, bytes).code, FileStatus::kNotFound);
  EXPECT_EQ(platform::ReadWholeFile(test::At(dir.path()), 10, bytes).code, FileStatus::kNotRegular);
  EXPECT_EQ(platform::ReadWholeFile(test::At(dir / "fifo"), 10, bytes).code,
            FileStatus::kNotRegular);
  EXPECT_EQ(platform::ReadWholeFile(test::At(dir / "link"), 10, bytes).code,
            FileStatus::kNotRegular);
  EXPECT_EQ(platform::ReadWholeFile(test::At(dir / "f"), 4, bytes).code, FileStatus::kTooLarge);
  ASSERT_TRUE(platform::ReadWholeFile(test::At(dir / "f"), 5, bytes).ok());
  EXPECT_EQ(bytes, "12345");
  {
    test::FaultGuard faults([](platform::Op op) {
      return op == platform::Op::kRead ? platform::Fault{EIO} : platform::Fault{};
    });
    const auto s = platform::ReadWholeFile(test::At(dir / "f"), 5, bytes);
    EXPECT_EQ(s.code, FileStatus::kIoError);
    EXPECT_EQ(s.error, std::errc::io_error);
  }
  EXPECT_FALSE(platform::FileExists(test::At(dir / "link")));
  EXPECT_EQ(platform::CreateExclusive(test::At(dir / "f"), "x").code, FileStatus::kExists);
  EXPECT_EQ(test::Read(dir / "f"), "12345");
  EXPECT_EQ(test::List(dir.path()), (std::vector<std::string>{"f", "fifo", "link"}));
}

TEST(FileService, TheNoReplaceRenameFallsBackOnAHardLink) {
  TempDir dir;
  // renameat2 answering EINVAL, as on file systems without RENAME_NOREPLACE.
  test::FaultGuard faults([](platform::Op op) {
    return op == platform::Op::kRename ? platform::Fault{EINVAL} : platform::Fault{};
  });
  ASSERT_TRUE(platform::CreateExclusive(test::At(dir / "a.xml"), "first").ok());
  EXPECT_EQ(platform::CreateExclusive(test::At(dir / "a.xml"), "second").code,
            platform::FileStatus::kExists);
  EXPECT_EQ(test::Read(dir / "a.xml"), "first");
  EXPECT_EQ(test::List(dir.path()), std::vector<std::string>{"a.xml"});
  struct stat st {};
  ASSERT_EQ(::stat((dir / "a.xml").c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 1u);  // the temporary name is gone
}

// Processes racing or killed ----------------------------------------------------

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
  const auto files = test::HandOvers(case_.app_path);
  ASSERT_EQ(files.size(), std::size_t{kProcesses * kEach});
  EXPECT_EQ(files.front(), "exif_0815_20110811143005.xml");
  for (const auto& f : files)
    EXPECT_EQ(test::RecordNames(case_.app_path + "/" + f, true).size(), 7u) << f;
}

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
  EXPECT_GT(test::HandOvers(dir_ / "case").size(), 1u);
}

// The same working file reached through a second folder name goes out once.
TEST_F(HandOverTest, AWorkingFileReachedByTwoNamesIsTakenOnce) {
  Working("A/B", Infos({"b1", "b2"}));
  std::filesystem::remove_all(test::P(Folder("A/C")));
  std::filesystem::create_directory_symlink(test::P(Folder("A/B")), test::P(Folder("A/C")));
  Copy();
  ASSERT_EQ(HandOvers().size(), 1u);
  EXPECT_EQ(test::RecordNames(HandOvers()[0], true), (std::vector<std::string>{"b1", "b2"}));
}

// Runs f in a child that dies at its n-th file operation (as a killed process
// would: nothing after that point runs). True when f finished before.
bool DyingAt(int n, const std::function<void()>& f) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    int seen = 0;
    platform::SetFaultInjector([&seen, n](platform::Op) {
      if (++seen == n) ::_exit(3);
      return platform::Fault{};
    });
    f();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// FIFOs and links under the hand-over's own names never block a call and are
// never followed.
TEST_F(HandOverTest, FifosAndLinksUnderHiddenNamesNeitherBlockNorAreFollowed) {
  ThreeFolders();
  const std::string victim = dir_ / "victim.txt";
  test::Write(victim, "keep me");
  ASSERT_EQ(::mkfifo((case_ + "/.picmeta-1-2-0000abcd.journal").c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo((Folder("A/B") + "/.exifinfo.xml.1-3-0000abcd.owner").c_str(), 0644), 0);
  ASSERT_EQ(::symlink(victim.c_str(), (case_ + "/.picmeta-1-4-0000abcd.handover").c_str()), 0);
  ASSERT_EQ(
      ::symlink(victim.c_str(), (Folder("A/C") + "/.exifinfo.xml.1-5-0000abcd.claim").c_str()), 0);
  Copy();
  ExpectEachOnce(Census(), kThree, "");
  EXPECT_EQ(test::Read(victim), "keep me");
  EXPECT_EQ(Leftovers().size(), 4u);
}

// Runs f in a child, to its end.
void InChild(const std::function<void()>& f) { DyingAt(1 << 30, f); }

// A copier killed at every single file operation in turn; then, as the case
// may be, the recovery killed too; then a copy that finishes. Every record
// ends up in exactly one place, and nothing hidden stays behind: with the
// folders as given, with the case folder moved before the recovery, and with
// relative folders read from another working folder by the recovery.
TEST_F(HandOverTest, ACopyKilledAtAnyStepHandsEveryRecordOverExactlyOnce) {
  enum class Setting { kAsGiven, kCaseMoved, kRelative };
  const std::string given = case_, moved = dir_ / "archive/case-moved";
  std::filesystem::create_directories(test::P(dir_ / "archive"));
  for (const Setting setting : {Setting::kAsGiven, Setting::kCaseMoved, Setting::kRelative}) {
    const char* name = setting == Setting::kAsGiven     ? "as given"
                       : setting == Setting::kCaseMoved ? "case moved"
                                                        : "relative";
    auto copy = [&] {
      if (setting != Setting::kRelative) return Copy();
      if (::chdir((dir_ / "pics/A").c_str()) != 0) ::_exit(4);
      clsmain().CopyExifInfo("../../case", "..", "9");
    };
    std::mt19937 random(7);
    int steps = 0;
    for (int n = 1;; ++n) {
      Fresh();
      const std::string context = std::string(name) + ", killed at step " + std::to_string(n);
      const bool finished = DyingAt(n, [&] {
        if (setting != Setting::kRelative) return Copy();
        if (::chdir(dir_.path().c_str()) != 0) ::_exit(4);
        clsmain().CopyExifInfo("case", "pics/", "9");
      });
      if (setting == Setting::kCaseMoved) {
        std::filesystem::rename(test::P(given), test::P(moved));
        case_ = moved;
      }
      if (!finished && n % 3 == 0) DyingAt(1 + static_cast<int>(random() % 60), copy);
      InChild(copy);
      ExpectEachOnce(Census(), kThree, context);
      EXPECT_TRUE(Leftovers().empty()) << context;
      if (setting == Setting::kCaseMoved) {
        std::filesystem::rename(test::P(moved), test::P(given));
        case_ = given;
      }
      if (HasFailure()) return;
      if (finished) break;
      steps = n;
    }
    EXPECT_GT(steps, 20);
    std::printf("[ hand-over ] %s: killed at each of %d steps\n", name, steps);
  }
}

// The same, but the folders' writers (whose workspace is the case folder) find
// the dead call's claims first: each settles its own folder before it writes.
TEST_F(HandOverTest, AWriterFinishesWhatAKilledCopyLeftInItsFolder) {
  const std::string picture = tooling::BuildCameraJpeg({});
  for (const char* f : {"A/B", "A/C", "E/F"}) test::Write(Folder(f) + "/new.jpg", picture);
  for (int n = 1;; ++n) {
    Fresh();
    const bool finished = DyingAt(n, [&] { Copy(); });
    for (const char* f : {"A/B", "A/C", "E/F"}) NewWrite(Folder(f) + "/new.jpg");
    std::map<std::string, int> seen = Census();
    // Before any copy: every record once, the new ones (one per folder) beside them.
    EXPECT_EQ(seen["new.jpg"], 3) << "killed at step " << n;
    seen.erase("new.jpg");
    ExpectEachOnce(seen, kThree, "writers after a kill at step " + std::to_string(n));
    for (const char* f : {"A/B", "A/C", "E/F"})
      for (const auto& name : test::List(Folder(f)))
        EXPECT_FALSE(test::Hidden(name)) << f << "/" << name << " step " << n;
    // The journal the writers left is finished by the next copy.
    Copy();
    EXPECT_TRUE(Leftovers().empty()) << "step " << n;
    if (HasFailure() || finished) break;
  }
}

// Copiers and writers in separate processes on one case, ten rounds: every
// record in exactly one place.
TEST_F(HandOverTest, FourCopiersAndFourWritersPutEveryRecordInExactlyOnePlace) {
  constexpr int kWriters = 4, kEach = 12, kRounds = 10;
  const std::string picture = tooling::BuildCameraJpeg({});
  const char* folders[] = {"A/B", "A/C", "E/F"};
  for (int round = 0; round < kRounds; ++round) {
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        for (int i = 0; i < kEach; ++i) {
          const std::string name = "r" + std::to_string(round) + "w" + std::to_string(w) + "_" +
                                   std::to_string(i) + ".jpg";
          const std::string path = Folder(folders[(w + i) % 3]) + "/" + name;
          test::Write(path, picture);
          NewWrite(path);
        }
        ::_exit(0);
      }
      children.push_back(pid);
    }
    for (int c = 0; c < 4; ++c) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        for (int i = 0; i < 3; ++i) Copy();
        ::_exit(0);
      }
      children.push_back(pid);
    }
    for (const pid_t pid : children) ::waitpid(pid, nullptr, 0);
  }
  Copy();
  const auto seen = Census();
  EXPECT_EQ(seen.size(), std::size_t{kRounds * kWriters * kEach});
  for (const auto& [name, n] : seen) EXPECT_EQ(n, 1) << name;
  EXPECT_TRUE(Leftovers().empty());
}

// A child records pictures in one folder in a loop, telling the parent after
// every call that returned; the parent kills it at a random moment. The file
// must then load and hold every record whose call had returned.
TEST(CrashConsistency, KilledWritersNeverLoseReturnedRecords) {
  const char* env = std::getenv("PICMETA_KILL_TRIALS");
  const int trials = env ? std::atoi(env) : 100;
  TempDir dir;
  const auto c = tooling::BuildSampleCase(dir.path());
  const std::string picture = tooling::BuildCameraJpeg({});
  for (int i = 0; i < 40; ++i)
    test::Write(c.case_folder + "/p" + std::to_string(i) + ".jpg", picture);
  std::mt19937 random(12345);
  std::set<std::string> returned;
  int kills_mid_call = 0;
  for (int trial = 0; trial < trials; ++trial) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      clsmain obj;
      for (int i = trial;; ++i) {
        const std::string name = "p" + std::to_string(i % 40) + ".jpg";
        if (i % 3 == 0) {
          obj.WriteDatatoXML(c.app_path, c.orgid, "", "1", "", "");
          const char msg[] = "W\n";
          if (::write(fds[1], msg, 2) != 2) ::_exit(1);
        } else {
          obj.NewWriteDatatoXML(c.app_path, c.case_folder + "/" + name, c.orgid, "", "1", "", "");
          const std::string msg = name + "\n";
          if (::write(fds[1], msg.data(), msg.size()) != static_cast<ssize_t>(msg.size()))
            ::_exit(1);
        }
      }
    }
    ::close(fds[1]);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    std::string said;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) said.append(buf, n);
    ::close(fds[0]);
    for (std::size_t at = 0, nl; (nl = said.find('\n', at)) != std::string::npos; at = nl + 1) {
      const std::string what = said.substr(at, nl - at);
      if (what == "W") {
        for (const char* n : {"IMG_0001.JPG", "IMG_0002.JPG", "车损.jpg"}) returned.insert(n);
      } else {
        returned.insert(what);
      }
    }
    const auto names = test::RecordNameSet(c.case_folder + "/exifinfo.xml");
    if (!returned.empty()) {
      ASSERT_EQ(names.count("<does not load>"), 0u) << "trial " << trial << ": does not load";
    }
    for (const auto& name : returned)
      ASSERT_EQ(names.count(name), 1u) << "trial " << trial << ": lost " << name;
    for (const auto& f : FilesIn(c.case_folder))
      ASSERT_EQ(f.find(".unreadable-"), std::string::npos) << "trial " << trial;
  }
  // What killed writers left behind goes once clearly abandoned: a temporary
  // an hour old is no live writer's.
  for (const auto& f : FilesIn(c.case_folder)) {
    if (!platform::IsTemporaryName(fs::path(f).filename().string())) continue;
    ++kills_mid_call;
    const struct timespec old[2] = {{std::time(nullptr) - 7200, 0}, {std::time(nullptr) - 7200, 0}};
    ::utimensat(AT_FDCWD, f.c_str(), old, 0);
  }
  clsmain().NewWriteDatatoXML(c.app_path, c.case_folder + "/p0.jpg", c.orgid, "", "1", "", "");
  EXPECT_FALSE(HasTemporary(c.case_folder));
  std::printf("[ kill test ] %d trials, %d killed during a save, %zu records checked\n", trials,
              kills_mid_call, returned.size());
}

// Writers and copiers of one case killed at random moments, also while they
// finish what an earlier killed call left: once a copy that is not killed has
// run, every record whose call returned stands in exactly one place (a hand-over
// or a working file), and no record stands in two.
TEST(CrashConsistency, KilledCopiersAndWritersNeverLoseOrDuplicateARecord) {
  const char* env = std::getenv("PICMETA_KILL_TRIALS");
  const int trials = env ? std::atoi(env) : 100;
  TempDir dir;
  const auto c = tooling::BuildSampleCase(dir / "ws");
  const std::string docs =
      "<documentinfo><relationship><resourcemainindex/></relationship></documentinfo>";
  test::Write(
      dir / "case/busiinfoprocess.xml",
      "<busiinfoprocess><busiinforecord foldername='A'><subcalsscodeinforecord foldername='B'>" +
          docs + "</subcalsscodeinforecord><subcalsscodeinforecord foldername='C'>" + docs +
          "</subcalsscodeinforecord></busiinforecord></busiinfoprocess>");
  const std::string picture = tooling::BuildCameraJpeg({});
  const std::string folders[] = {dir / "pics/A/B", dir / "pics/A/C"};
  auto copy = [&] { clsmain().CopyExifInfo(dir / "case", dir / "pics", "9"); };
  std::mt19937 random(4242);
  std::set<std::string> returned;
  std::map<std::string, int> handed;  // records of hand-overs already counted (moved away)
  int censuses = 0, handovers = 0, unfinished = 0;
  for (int trial = 0; trial < trials; ++trial) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t writer = ::fork();
    if (writer == 0) {
      ::close(fds[0]);
      clsmain obj;
      for (int i = 0;; ++i) {
        const std::string name = "t" + std::to_string(trial) + "_" + std::to_string(i) + ".jpg";
        const std::string path = folders[i % 2] + "/" + name;
        test::Write(path, picture);
        obj.NewWriteDatatoXML(c.app_path, path, c.orgid, "", "1", "", "");
        const std::string msg = name + "\n";
        if (::write(fds[1], msg.data(), msg.size()) != static_cast<ssize_t>(msg.size())) ::_exit(1);
        if (i % 4 == 3) obj.CopyExifInfo(dir / "case", dir / "pics", "9");
      }
    }
    ::close(fds[1]);
    const pid_t copier = trial % 2 ? ::fork() : -1;
    if (copier == 0) {
      for (;;) copy();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 25000));
    ::kill(writer, SIGKILL);
    if (copier > 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 5000));
      ::kill(copier, SIGKILL);
      ::waitpid(copier, nullptr, 0);
    }
    ::waitpid(writer, nullptr, 0);
    std::string said;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) said.append(buf, n);
    ::close(fds[0]);
    for (std::size_t at = 0, nl; (nl = said.find('\n', at)) != std::string::npos; at = nl + 1)
      returned.insert(said.substr(at, nl - at));
    // Calls killed in the middle of a hand-over (or of finishing one) left its journal.
    for (const auto& name : test::List(dir / "case"))
      unfinished += name.rfind(".picmeta-", 0) == 0 ? 1 : 0;
    // Most trials leave what the killed calls left to the next trial's calls.
    if (trial % 5 != 4 && trial + 1 < trials) continue;
    copy();
    ++censuses;
    std::map<std::string, int> seen = handed;
    for (const auto& name : test::List(dir / "case")) {
      if (name.rfind("exif_", 0) != 0) {
        // (a temporary of a killed save goes once abandoned, by a later save)
        ASSERT_TRUE(name == "busiinfoprocess.xml" || platform::IsTemporaryName(name))
            << "trial " << trial << ": left " << name;
        continue;
      }
      ++handovers;
      for (const auto& n : test::RecordNameSet(dir / ("case/" + name), true))
        ++handed[n], ++seen[n];
      fs::rename(test::P(dir / ("case/" + name)),
                 test::P(dir / ("counted-" + name + std::to_string(trial))));
    }
    for (const auto& folder : folders)
      for (const auto& name : test::List(folder)) {
        ASSERT_NE(name.rfind(".exifinfo.xml.", 0), 0u) << "trial " << trial << ": left " << name;
        if (name == "exifinfo.xml")
          for (const auto& n : test::RecordNameSet(folder + "/exifinfo.xml")) ++seen[n];
      }
    for (const auto& [n, count] : seen) ASSERT_LE(count, 1) << n << " twice, trial " << trial;
    for (const auto& n : returned) ASSERT_EQ(seen.count(n), 1u) << n << " lost, trial " << trial;
  }
  std::printf(
      "[ kill test ] %d trials of writers and copiers, %d left a hand-over unfinished, %d checks, "
      "%zu records in %d hand-overs\n",
      trials, unfinished, censuses, returned.size(), handovers);
}

// Cancellation -------------------------------------------------------------------

TEST_F(CaseTest, AThreadCancelledInsideACallIsCancelledAndTheProcessLivesOn) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer cannot follow a cancelled thread's unwinding";
#endif
  // The call waits for the folder, at a cancellation point.
  std::optional<platform::FolderLock> held(test::Locked(test::At(case_.case_folder)));
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
  EXPECT_EQ(test::RecordNames(exifinfo_).size(), 3u);
}

// Work watched from outside ------------------------------------------------------

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
  EXPECT_EQ(test::RecordNames(exifinfo_), std::vector<std::string>{"IMG_0001.JPG"});
}

}  // namespace
}  // namespace picmeta
