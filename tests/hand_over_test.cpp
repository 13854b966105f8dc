// The hand-over of working files as a transaction: every record in exactly
// one place, whatever file a working file holds, however calls race or die.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "picmeta/clsmain.h"
#include "platform/os/fs.h"
#include "platform/xml/document.h"
#include "records/hand_over.h"
#include "scramble/encrypt.h"
#include "tests/support.h"
#include "tools/exif_builder.h"
#include "tools/sample_case.h"

namespace picmeta {
namespace {

using test::TempDir;

// Filenames of the records (root/info) of a working or (scrambled) hand-over file.
std::vector<std::string> Records(const std::string& path, bool scrambled) {
  std::string bytes = test::Read(path);
  if (scrambled) encrypt::Unscramble(bytes);
  platform::XmlDocument doc;
  if (!doc.LoadXML(bytes)) return {"<does not load>"};
  std::vector<std::string> names;
  for (const auto& info : doc.SelectNodes("root/info"))
    names.push_back(info.GetAttribute("Filename").value_or(""));
  return names;
}

bool Hidden(const std::string& name) {
  return name.rfind(".exifinfo.xml.", 0) == 0 || name.rfind(".picmeta-", 0) == 0;
}

// A case of three document folders, \A\B, \A\C and \E\F, below the picture
// tree dir/pics, whose busiinfoprocess.xml is in dir/case.
class HandOverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string docs =
        "<documentinfo><relationship><resourcemainindex/></relationship></documentinfo>";
    test::Write(dir_ / "case/busiinfoprocess.xml",
                "<busiinfoprocess><busiinforecord foldername='A'>"
                "<subcalsscodeinforecord foldername='B'>" +
                    docs +
                    "</subcalsscodeinforecord>"
                    "<subcalsscodeinforecord foldername='C'>" +
                    docs +
                    "</subcalsscodeinforecord>"
                    "</busiinforecord><busiinforecord foldername='E'>"
                    "<subcalsscodeinforecord foldername='F'>" +
                    docs +
                    "</subcalsscodeinforecord>"
                    "</busiinforecord></busiinfoprocess>");
    const auto c = tooling::BuildSampleCase(dir_ / "ws");
    app_ = c.app_path;
    orgid_ = c.orgid;
  }
  std::string Folder(const std::string& f) const { return dir_ / ("pics/" + f); }
  void Working(const std::string& folder, const std::string& body,
               const std::string& declaration = "<?xml version='1.0' encoding='GBK'?>") {
    test::Write(Folder(folder) + "/exifinfo.xml", declaration + body);
  }
  void Copy() { clsmain().CopyExifInfo(dir_ / "case", dir_ / "pics", "9"); }
  void NewWrite(const std::string& picture) {
    clsmain().NewWriteDatatoXML(app_, picture, orgid_, "", "1", "", "");
  }
  std::vector<std::string> HandOvers() {
    std::vector<std::string> out;
    for (const auto& name : test::List(dir_ / "case"))
      if (name.rfind("exif_", 0) == 0) out.push_back(dir_ / ("case/" + name));
    return out;
  }
  // How often each record stands in a hand-over or a working file.
  std::map<std::string, int> Census() {
    std::map<std::string, int> seen;
    for (const auto& f : HandOvers())
      for (const auto& n : Records(f, true)) ++seen[n];
    for (const char* folder : {"A/B", "A/C", "E/F"})
      if (test::Exists(Folder(folder) + "/exifinfo.xml"))
        for (const auto& n : Records(Folder(folder) + "/exifinfo.xml", false)) ++seen[n];
    return seen;
  }
  // The hidden files of unfinished hand-overs, in every folder.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> out;
    for (const char* folder : {"case", "pics/A/B", "pics/A/C", "pics/E/F"})
      for (const auto& name : test::List(dir_ / folder))
        if (Hidden(name)) out.push_back(std::string(folder) + "/" + name);
    return out;
  }
  static std::string Infos(std::initializer_list<const char*> names) {
    std::string body = "<root>";
    for (const char* n : names) body += "<info Filename='" + std::string(n) + "'/>";
    return body + "</root>";
  }
  void ThreeFolders() {
    Working("A/B", Infos({"b1", "b2"}));
    Working("A/C", Infos({"c1"}));
    Working("E/F", Infos({"f1", "f2", "f3"}));
  }
  void ExpectEachOnce(const std::map<std::string, int>& seen, const std::vector<std::string>& names,
                      const std::string& context) {
    for (const auto& n : names) EXPECT_EQ(seen.count(n) ? seen.at(n) : 0, 1) << n << " " << context;
    EXPECT_EQ(seen.size(), names.size()) << context;
  }

  test::FixedClock clock_;
  TempDir dir_;
  std::string app_, orgid_;
};

const std::vector<std::string> kThree = {"b1", "b2", "c1", "f1", "f2", "f3"};

TEST_F(HandOverTest, ClaimedFilesGoOnlyOnceTheHandOverStandsAndNothingHiddenStays) {
  ThreeFolders();
  Copy();
  EXPECT_EQ(HandOvers().size(), 1u);
  ExpectEachOnce(Census(), kThree, "");
  EXPECT_TRUE(Leftovers().empty());
  for (const char* f : {"A/B", "A/C", "E/F"})
    EXPECT_FALSE(test::Exists(Folder(f) + "/exifinfo.xml"));
}

// A second copier running while the first waits in its event handler finds
// the first one's files claimed or gone: no record goes out twice.
TEST_F(HandOverTest, ACopyRunningWhileAnotherWaitsInItsHandlerTakesNothingTwice) {
  ThreeFolders();
  bool nested = false;
  SetLogHandler([&](const Event& e) {
    if (e.code == PICMETA_EVENT_HANDOVER_WRITTEN && !nested) {
      nested = true;
      Copy();
    }
  });
  Copy();
  SetLogHandler(nullptr);
  ASSERT_TRUE(nested);
  ExpectEachOnce(Census(), kThree, "");
}

TEST_F(HandOverTest, ThreadsCopyingOneCaseHandEachRecordOverOnce) {
  constexpr int kRounds = 5;
  for (int round = 0; round < kRounds; ++round) {
    Working("A/B", Infos({"b1", "b2"}));
    Working("A/C", Infos({"c1"}));
    std::vector<std::thread> copiers;
    for (int t = 0; t < 4; ++t) copiers.emplace_back([&] { Copy(); });
    for (auto& t : copiers) t.join();
    auto seen = Census();
    for (const char* n : {"b1", "b2", "c1"})
      EXPECT_EQ(seen[n], round + 1) << n << " round " << round;
    EXPECT_TRUE(Leftovers().empty());
  }
}

// A record whose attribute name GBK cannot hold stays in its working file,
// named by an event; the others go, and no event says there was no file.
TEST_F(HandOverTest, ARecordGbkCannotHoldStaysTheOthersGo) {
  Working("A/B", "<root><info Filename='b1'/><info Filename='b2' \xF0\xA0\x80\x80='x'/></root>",
          "<?xml version='1.0' encoding='UTF-8'?>");
  std::vector<Event> events;
  SetLogHandler([&](const Event& e) { events.push_back(e); });
  for (int call = 0; call < 2; ++call) {
    Copy();
    clock_.Set(test::FixedClock::kInstant + 10);
  }
  SetLogHandler(nullptr);
  ASSERT_EQ(HandOvers().size(), 1u);
  EXPECT_EQ(Records(HandOvers()[0], true), std::vector<std::string>{"b1"});
  EXPECT_EQ(Records(Folder("A/B") + "/exifinfo.xml", false), std::vector<std::string>{"b2"});
  int left = 0;
  for (const auto& e : events) {
    EXPECT_NE(e.code, PICMETA_EVENT_NOTHING_TO_HAND_OVER) << e.message;
    if (e.code == PICMETA_EVENT_RECORDS_LEFT) {
      ++left;
      EXPECT_NE(e.message.find("b2"), std::string::npos) << e.message;
    }
  }
  EXPECT_EQ(left, 2);  // once per call
  EXPECT_TRUE(Leftovers().empty());
}

// Records below another root, or info elements with a prefix, are no records
// of root/info: they are never handed over, and never removed with their file.
TEST_F(HandOverTest, InfoElementsThatAreNoRecordsStayInTheirFile) {
  Working("A/B", "<ROOT><info Filename='x1'/></ROOT>");
  Working("A/C", "<r:root xmlns:r='urn:r'><info Filename='x2'/></r:root>");
  Working("E/F", "<root xmlns:p='urn:p'><info Filename='f1'/><p:info Filename='x3'/></root>");
  Copy();
  ASSERT_EQ(HandOvers().size(), 1u);
  EXPECT_EQ(Records(HandOvers()[0], true), std::vector<std::string>{"f1"});
  EXPECT_NE(test::Read(Folder("A/B") + "/exifinfo.xml").find("x1"), std::string::npos);
  EXPECT_NE(test::Read(Folder("A/C") + "/exifinfo.xml").find("x2"), std::string::npos);
  const std::string rest = test::Read(Folder("E/F") + "/exifinfo.xml");
  EXPECT_NE(rest.find("x3"), std::string::npos);
  EXPECT_EQ(rest.find("f1"), std::string::npos);
  Copy();  // nothing more goes
  EXPECT_EQ(HandOvers().size(), 1u);
}

TEST_F(HandOverTest, AHandOverThatCannotBeWrittenGivesEveryRecordBackWithThoseWrittenSince) {
  ThreeFolders();
  bool wrote = false, failed = false;
  platform::SetFaultInjector([&](platform::Op op) {
    // Fails the visible name's rename; first a writer adds to a claimed folder.
    if (op == platform::Op::kRename && !wrote) {
      for (const auto& name : test::List(Folder("A/B")))
        if (name.find(".claim") != std::string::npos) {
          wrote = true;
          test::Write(Folder("A/B") + "/exifinfo.xml",
                      "<?xml version='1.0' encoding='GBK'?>" + Infos({"b3", "b1"}));
        }
    }
    if (op == platform::Op::kRename && wrote && !failed) {
      for (const auto& name : test::List(dir_ / "case"))
        if (name.size() > 9 && name.compare(name.size() - 9, 9, ".handover") == 0) {
          failed = true;
          return platform::Fault{EIO};
        }
    }
    return platform::Fault{};
  });
  Copy();
  platform::SetFaultInjector(nullptr);
  ASSERT_TRUE(wrote && failed);
  EXPECT_TRUE(HandOvers().empty());
  // b1 written again since refreshes the claimed b1 in place; b3 follows.
  EXPECT_EQ(Records(Folder("A/B") + "/exifinfo.xml", false),
            (std::vector<std::string>{"b1", "b2", "b3"}));
  EXPECT_EQ(Records(Folder("E/F") + "/exifinfo.xml", false),
            (std::vector<std::string>{"f1", "f2", "f3"}));
  EXPECT_TRUE(Leftovers().empty());
}

#ifndef _WIN32  // POSIX by nature: fork, kill, symbolic links

// The same working file reached through a second folder name goes out once.
TEST_F(HandOverTest, AWorkingFileReachedByTwoNamesIsTakenOnce) {
  Working("A/B", Infos({"b1", "b2"}));
  std::filesystem::remove_all(test::P(Folder("A/C")));
  std::filesystem::create_directory_symlink(test::P(Folder("A/B")), test::P(Folder("A/C")));
  Copy();
  ASSERT_EQ(HandOvers().size(), 1u);
  EXPECT_EQ(Records(HandOvers()[0], true), (std::vector<std::string>{"b1", "b2"}));
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

// A copier killed at every single file operation in turn; then, as the case
// may be, the recovery killed too; then a copy that finishes. Every record
// ends up in exactly one place, and nothing hidden stays behind.
TEST_F(HandOverTest, ACopyKilledAtAnyStepHandsEveryRecordOverExactlyOnce) {
  std::mt19937 random(7);
  int steps = 0;
  for (int n = 1;; ++n) {
    // A fresh case for each step (the fixture's folders are reused, emptied).
    for (const char* folder : {"case", "pics/A/B", "pics/A/C", "pics/E/F"})
      for (const auto& name : test::List(dir_ / folder))
        if (name != "busiinfoprocess.xml")
          std::filesystem::remove(test::P(dir_ / (std::string(folder) + "/" + name)));
    ThreeFolders();
    const bool finished = DyingAt(n, [&] { Copy(); });
    if (!finished && n % 3 == 0) DyingAt(1 + static_cast<int>(random() % 60), [&] { Copy(); });
    Copy();
    ExpectEachOnce(Census(), kThree, "killed at step " + std::to_string(n));
    EXPECT_TRUE(Leftovers().empty()) << "killed at step " << n;
    if (HasFailure()) return;
    if (finished) break;
    steps = n;
  }
  EXPECT_GT(steps, 20);
  std::printf("[ hand-over ] killed at each of %d steps\n", steps);
}

// The same, but the folders' writers find the dead call's claims first: each
// settles its own folder before it writes.
TEST_F(HandOverTest, AWriterFinishesWhatAKilledCopyLeftInItsFolder) {
  const std::string picture = tooling::BuildCameraJpeg({});
  for (const char* f : {"A/B", "A/C", "E/F"}) test::Write(Folder(f) + "/new.jpg", picture);
  for (int n = 1;; ++n) {
    for (const char* folder : {"case", "pics/A/B", "pics/A/C", "pics/E/F"})
      for (const auto& name : test::List(dir_ / folder))
        if (name != "busiinfoprocess.xml" && name != "new.jpg")
          std::filesystem::remove(test::P(dir_ / (std::string(folder) + "/" + name)));
    ThreeFolders();
    const bool finished = DyingAt(n, [&] { Copy(); });
    for (const char* f : {"A/B", "A/C", "E/F"}) NewWrite(Folder(f) + "/new.jpg");
    std::map<std::string, int> seen = Census();
    // Before any copy: every record once, the new ones (one per folder) beside them.
    EXPECT_EQ(seen["new.jpg"], 3) << "killed at step " << n;
    seen.erase("new.jpg");
    ExpectEachOnce(seen, kThree, "writers after a kill at step " + std::to_string(n));
    for (const char* f : {"pics/A/B", "pics/A/C", "pics/E/F"})
      for (const auto& name : test::List(dir_ / f))
        EXPECT_FALSE(name.rfind(".exifinfo.xml.", 0) == 0) << f << "/" << name << " step " << n;
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

#endif

}  // namespace
}  // namespace picmeta
