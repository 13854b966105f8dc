// The hand-over of working files as a transaction: every record in exactly
// one place, whatever file a working file holds, however calls race or die.
#include "records/hand_over.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "picmeta/clsmain.h"
#include "platform/os/fs.h"
#include "platform/xml/document.h"
#include "scramble/encrypt.h"
#include "tests/fixtures.h"
#include "tests/support.h"
#include "tools/exif_builder.h"
#include "tools/sample_case.h"

namespace picmeta {
namespace {

using test::TempDir;

using test::HandOverTest;

using test::kThree;

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
  EXPECT_EQ(test::RecordNames(HandOvers()[0], true), std::vector<std::string>{"b1"});
  EXPECT_EQ(test::RecordNames(Folder("A/B") + "/exifinfo.xml"), std::vector<std::string>{"b2"});
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
  EXPECT_EQ(test::RecordNames(HandOvers()[0], true), std::vector<std::string>{"f1"});
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
  {
    test::FaultGuard faults([&](platform::Op op) {
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
  }
  ASSERT_TRUE(wrote && failed);
  EXPECT_TRUE(HandOvers().empty());
  // b1 written again since refreshes the claimed b1 in place; b3 follows.
  EXPECT_EQ(test::RecordNames(Folder("A/B") + "/exifinfo.xml"),
            (std::vector<std::string>{"b1", "b2", "b3"}));
  EXPECT_EQ(test::RecordNames(Folder("E/F") + "/exifinfo.xml"),
            (std::vector<std::string>{"f1", "f2", "f3"}));
  EXPECT_TRUE(Leftovers().empty());
}

// A copy that leaves its work to a later call, as one that died would: before
// its hand-over stands (neither the commit nor its revocation can be written),
// or after (no folder can be locked to let the claims go).
void LeaveUnfinished(const std::function<void()>& copy, const std::string& case_folder,
                     bool committed) {
  auto has = [&](std::string_view prefix, std::string_view suffix) {
    for (const auto& name : test::List(case_folder))
      if (name.rfind(prefix, 0) == 0 && name.size() >= suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        return true;
    return false;
  };
  test::FaultGuard faults([&](platform::Op op) {
    if (!committed && op == platform::Op::kWrite && has(".picmeta-", ".handover"))
      return platform::Fault{EIO};
    if (committed && op == platform::Op::kLock && has("exif_", ".xml")) return platform::Fault{EIO};
    return platform::Fault{};
  });
  copy();
}

std::vector<std::string> Named(const std::string& folder, std::string_view suffix) {
  std::vector<std::string> out;
  for (const auto& name : test::List(folder))
    if (name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      out.push_back(name);
  return out;
}

std::vector<Event> Collect(const std::function<void()>& f) {
  std::vector<Event> events;
  SetLogHandler([&](const Event& e) { events.push_back(e); });
  f();
  SetLogHandler(nullptr);
  return events;
}

int Count(const std::vector<Event>& events, int code) {
  return static_cast<int>(
      std::count_if(events.begin(), events.end(), [&](const Event& e) { return e.code == code; }));
}

// Files planted where the hand-over keeps its own are read, if at all, only
// as far as a note's or journal's bound; none names a file to act on, and
// none keeps a folder's writers or copiers from their work.
TEST_F(HandOverTest, PlantedFilesNameNothingToActOnAndBlockNothing) {
  namespace fs = std::filesystem;
  const std::string victim = dir_ / "victim.txt";
  test::Write(victim, "keep me");
  test::Write(case_ + "/.picmeta-x.journal", "picmeta hand-over 1\ntemp " + victim + "\n");
  test::Write(case_ + "/.picmeta-1-2-0000abcd.journal",
              "picmeta hand-over 1\ntemp " + victim + "\nclaim " + Folder("A/B") + "\ncommitted\n");
  test::Write(case_ + "/.picmeta-1-3-0000abcd.handover", "a hidden hand-over of nobody's");
  test::Write(case_ + "/.picmeta-1-4-0000abcd.journal", "");
  fs::resize_file(test::P(case_ + "/.picmeta-1-4-0000abcd.journal"), std::uintmax_t{1} << 30);
  fs::create_directories(test::P(Folder("A/B") + "/.exifinfo.xml.zz.owner"));
  fs::create_directories(test::P(Folder("A/B") + "/.exifinfo.xml.1-5-0000abcd.owner"));
  test::Write(Folder("A/C") + "/.exifinfo.xml.1-6-0000abcd.claim",
              "<?xml version='1.0' encoding='GBK'?>" + Infos({"planted"}));
  const auto planted_case = test::List(case_);
  ThreeFolders();
  const std::string picture = tooling::BuildCameraJpeg({});
  test::Write(Folder("A/B") + "/new.jpg", picture);
  const auto events = Collect([&] {
    NewWrite(Folder("A/B") + "/new.jpg");
    Copy();
    Copy();
  });
  EXPECT_EQ(test::Read(victim), "keep me");
  auto seen = Census();
  EXPECT_EQ(seen["new.jpg"], 1);
  seen.erase("new.jpg");
  ExpectEachOnce(seen, kThree, "");
  ASSERT_EQ(HandOvers().size(), 1u);
  // Everything planted is where it was, and said so.
  for (const auto& name : planted_case) EXPECT_TRUE(test::Exists(case_ + "/" + name)) << name;
  EXPECT_TRUE(fs::is_directory(test::P(Folder("A/B") + "/.exifinfo.xml.zz.owner")));
  EXPECT_EQ(test::RecordNames(Folder("A/C") + "/.exifinfo.xml.1-6-0000abcd.claim"),
            std::vector<std::string>{"planted"});
  std::set<std::string> told;
  for (const auto& e : events)
    if (e.code == PICMETA_EVENT_HIDDEN_FILE_IGNORED) told.insert(test::At(e.path).Name());
  for (const char* name :
       {".picmeta-x.journal", ".picmeta-1-2-0000abcd.journal", ".picmeta-1-3-0000abcd.handover",
        ".picmeta-1-4-0000abcd.journal", ".exifinfo.xml.zz.owner",
        ".exifinfo.xml.1-5-0000abcd.owner", ".exifinfo.xml.1-6-0000abcd.claim"})
    EXPECT_TRUE(told.count(name)) << name;
  EXPECT_EQ(Count(events, PICMETA_EVENT_UNEXPECTED_FAILURE), 0);
  EXPECT_EQ(Count(events, PICMETA_EVENT_READ_FAILED), 0);
}

// A journal planted in another case under this call's id (even where that
// case's tree reaches this case's folders), a copy of the case folder, or a
// claim and note copied into another folder settle nothing.
TEST_F(HandOverTest, JournalsAndNotesOfElsewhereSettleNothing) {
  ThreeFolders();
  LeaveUnfinished([&] { Copy(); }, case_, false);
  const auto journals = Named(case_, ".journal");
  ASSERT_EQ(journals.size(), 1u);
  const std::string id = journals[0].substr(9, journals[0].size() - 9 - 8);
  const auto claims = [&] {
    std::size_t n = 0;
    for (const char* f : {"A/B", "A/C", "E/F"})
      n += test::Exists(Folder(f) + "/.exifinfo.xml." + id + ".claim") ? 1 : 0;
    return n;
  };
  ASSERT_EQ(claims(), 3u);
  auto id_text = [](const std::string& folder) {
    platform::FileId i;
    EXPECT_TRUE(platform::GetFolderId(test::At(folder), i).ok());
    return std::to_string(i.device) + ":" + std::to_string(i.file);
  };
  // Case A: the same tree over the same pictures, and a journal of A under
  // the dead call's id, committed, listing this case's folders.
  const std::string other = dir_ / "other";
  test::Write(other + "/busiinfoprocess.xml", test::Read(case_ + "/busiinfoprocess.xml"));
  test::Write(other + "/" + journals[0],
              "picmeta hand-over 2\nid " + id + "\ncase " + id_text(other) + "\noperno 9\nclaim " +
                  id_text(Folder("A/B")) + "\nclaim " + id_text(Folder("A/C")) + "\nclaim " +
                  id_text(Folder("E/F")) + "\ncommitted 1313044205\n");
  // A copy of the case folder, its journal and hidden hand-over included.
  const std::string copy = dir_ / "copy";
  for (const auto& name : test::List(case_))
    if (!std::filesystem::is_directory(test::P(case_ + "/" + name)))
      test::Write(copy + "/" + name, test::Read(case_ + "/" + name));
  const auto events = Collect([&] {
    clsmain().CopyExifInfo(other, dir_ / "pics", "9");
    clsmain().CopyExifInfo(copy, dir_ / "pics", "9");
  });
  EXPECT_TRUE(test::HandOvers(other).empty());
  EXPECT_TRUE(test::HandOvers(copy).empty());
  EXPECT_EQ(claims(), 3u) << "the claims are left as they were";
  EXPECT_GE(Count(events, PICMETA_EVENT_CLAIM_WAITING), 1);
  EXPECT_GE(Count(events, PICMETA_EVENT_HIDDEN_FILE_IGNORED), 1);
  // A folder whose claim was never made (its working file back, as before),
  // and into which the claim and note of another folder are copied.
  const std::string a_b = Folder("A/B") + "/.exifinfo.xml." + id;
  const std::string a_c = Folder("A/C") + "/.exifinfo.xml." + id;
  std::filesystem::rename(test::P(a_c + ".claim"), test::P(Folder("A/C") + "/exifinfo.xml"));
  test::Write(a_c + ".claim", test::Read(a_b + ".claim"));
  test::Write(a_c + ".owner", test::Read(a_b + ".owner"));

  // This case's own next copy gives every record back and hands it over
  // once; the copied claim is never given back.
  Copy();
  ExpectEachOnce(Census(), kThree, "after the case's own copy");
  EXPECT_TRUE(test::Exists(a_c + ".claim"));
}

// A hand-over that stood when its call died, and that the host has sent and
// removed since, is never made again: its claims just go.
TEST_F(HandOverTest, AHandOverTheHostRemovedIsNotMadeAgain) {
  ThreeFolders();
  LeaveUnfinished([&] { Copy(); }, case_, true);
  ASSERT_EQ(HandOvers().size(), 1u);
  ASSERT_FALSE(Named(Folder("A/B"), ".claim").empty());
  std::filesystem::remove(test::P(HandOvers()[0]));
  Copy();
  EXPECT_TRUE(HandOvers().empty());
  EXPECT_TRUE(Census().empty());
  EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// A journal that cannot be made whole leaves nothing behind: no journal, no
// hidden hand-over, no temporary; the folder it was made for keeps its records.
TEST_F(HandOverTest, AJournalThatCannotBeWrittenLeavesNoOrphan) {
  ThreeFolders();
  for (const platform::Op op :
       {platform::Op::kWrite, platform::Op::kFsync, platform::Op::kRename}) {
    bool failed = false;
    {
      test::FaultGuard faults([&](platform::Op o) {
        if (o != op || failed) return platform::Fault{};
        failed = true;  // the first of its kind: the journal's
        return platform::Fault{EIO};
      });
      Copy();
    }
    ASSERT_TRUE(failed);
    // The first folder keeps its records; the others may go with a journal
    // made for them.
    ExpectEachOnce(Census(), kThree, "");
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    for (const auto& name : test::List(case_)) EXPECT_FALSE(platform::IsTemporaryName(name));
    Copy();
    ExpectEachOnce(Census(), kThree, "after the next copy");
    for (const char* f : {"A/B", "A/C", "E/F"})
      EXPECT_FALSE(test::Exists(Folder(f) + "/exifinfo.xml"));
    Fresh();
  }
}

// A failure that comes from the input is told once, as what it is; a folder
// that cannot be read while recovering is told, never dropped.
TEST_F(HandOverTest, FailuresAreToldOnceAsWhatTheyAre) {
  // A working file read as UTF-8 (its byte-order mark) but declared GBK: a
  // name GBK cannot hold cannot be written back.
  test::Write(Folder("A/B") + "/exifinfo.xml",
              "\xEF\xBB\xBF<?xml version='1.0' encoding='GBK'?><root><info Filename='a.jpg' "
              "\xF0\x9F\x98\x80='x'/></root>");
  auto events = Collect([&] { clsmain().DeleteDatafromXML(Folder("A/B"), "zzz.jpg"); });
  EXPECT_EQ(Count(events, PICMETA_EVENT_SAVE_FAILED), 1);
  EXPECT_EQ(Count(events, PICMETA_EVENT_UNEXPECTED_FAILURE), 0);
  bool failed = false;
  events = Collect([&] {
    test::FaultGuard faults([&](platform::Op op) {
      if (op != platform::Op::kList || failed) return platform::Fault{};
      failed = true;
      return platform::Fault{EIO};
    });
    Copy();
  });
  ASSERT_TRUE(failed);
  ASSERT_TRUE(std::any_of(events.begin(), events.end(), [&](const Event& e) {
    return e.code == PICMETA_EVENT_READ_FAILED && e.path == test::Shown(case_) && e.os_error == EIO;
  }));
  EXPECT_EQ(Count(events, PICMETA_EVENT_UNEXPECTED_FAILURE), 0);
}

}  // namespace
}  // namespace picmeta
