// The hand-over of working files as a transaction: every record in exactly
// one place, whatever file a working file holds, however calls race or die.
#include "records/hand_over.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
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

}  // namespace
}  // namespace picmeta
