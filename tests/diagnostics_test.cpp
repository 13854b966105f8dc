// The diagnostics hook: which events the main paths raise, and that a
// handler can neither break a call nor be called back into.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <future>
#include <stdexcept>
#include <thread>

#include "capture/guarded.h"
#include "picmeta/clsmain.h"
#include "picmeta/picmeta.h"
#include "platform/os/fs.h"
#include "platform/xml/document.h"
#include "reader/exif_reader.h"
#include "records/failure.h"
#include "tests/fixtures.h"
#include "tests/support.h"
#include "tools/sample_case.h"

namespace picmeta {
namespace {

namespace fs = std::filesystem;
using test::EventsTest;

TEST_F(EventsTest, AFullReadExifTellsTheHandOverAndEachPictureWithoutValues) {
  ReadExif();
  const auto handover = Of(PICMETA_EVENT_HANDOVER_WRITTEN);
  ASSERT_EQ(handover.size(), 1u);
  EXPECT_EQ(test::Shown(handover[0].path),
            test::Shown(case_.app_path + "/exif_0815_20110811143005.xml"));
  EXPECT_EQ(handover[0].count, 7);
  EXPECT_EQ(handover[0].severity, PICMETA_INFO);
  EXPECT_EQ(handover[0].method, "ReadEXIF");
  const auto no_exif = Of(PICMETA_EVENT_PICTURE_WITHOUT_EXIF);
  ASSERT_EQ(no_exif.size(), 1u);
  EXPECT_EQ(no_exif[0].message, "picture scan.jpg: no Exif block");
  EXPECT_EQ(no_exif[0].severity, PICMETA_WARNING);
  // missing.jpg is not on disk; R9 has no name, which its own event tells.
  const auto missing = Of(PICMETA_EVENT_PICTURE_MISSING);
  ASSERT_EQ(missing.size(), 1u);
  EXPECT_EQ(missing[0].message, "picture missing.jpg: not on disk");
  const auto unknown = Of(PICMETA_EVENT_RESOURCE_NOT_FOUND);
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_NE(unknown[0].message.find("'R9'"), std::string::npos);
  for (const auto& e : events_) EXPECT_NE(e.severity, PICMETA_ERROR) << e.message;
}

TEST_F(EventsTest, EachGateSaysWhichAndWhatValue) {
  ReadExif("02");
  ReadExif("2", "11020001");
  test::Write(case_.app_path + "/top/kelexplorersource.xml",
              "<kelexplorerinfo><folder name='case'><busiindex><component name='busitype' "
              "value='1'/></busiindex></folder></kelexplorerinfo>");
  Write();
  test::Write(case_.app_path + "/documentfilesource.xml",
              "<documentinfo><filename/></documentinfo>");
  Write();
  const auto gates = Of(PICMETA_EVENT_GATE_STOPPED);
  ASSERT_EQ(gates.size(), 4u);
  EXPECT_EQ(gates[0].message, "business type '02' is not 2");
  EXPECT_EQ(gates[1].message, "class code '11020001' is not 11020000");
  EXPECT_EQ(gates[2].message,
            "business type '1' of case folder " + test::Shown("top/case") + " is not 2");
  EXPECT_EQ(gates[2].method, "WriteDatatoXML");
  EXPECT_EQ(gates[3].message, "documentfilesource.xml names no case folder");
  EXPECT_TRUE(Of(PICMETA_EVENT_HANDOVER_WRITTEN).empty());
  EXPECT_TRUE(Of(PICMETA_EVENT_WORKING_FILE_SAVED).empty());
}

TEST_F(EventsTest, ASetAsideWorkingFileAndTheSaveAreTold) {
  const std::string working = case_.case_folder + "/exifinfo.xml";
  test::Write(working, "<root><info");
  Write();
  const auto aside = Of(PICMETA_EVENT_WORKING_FILE_SET_ASIDE);
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(test::Shown(aside[0].path), test::Shown(working + ".unreadable-20110811143005"));
  EXPECT_NE(aside[0].message.find("not well-formed"), std::string::npos) << aside[0].message;
  const auto saved = Of(PICMETA_EVENT_WORKING_FILE_SAVED);
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0].count, 3);
  EXPECT_EQ(test::Shown(saved[0].path), test::Shown(working));
}

TEST_F(EventsTest, AFailedSaveCarriesTheOsError) {
  platform::SetFaultInjector([](platform::Op op) {
    return op == platform::Op::kWrite ? platform::Fault{ENOSPC} : platform::Fault{};
  });
  Write();
  ReadExif();
  const auto failed = Of(PICMETA_EVENT_SAVE_FAILED);
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[0].os_error, ENOSPC);
  EXPECT_EQ(failed[0].severity, PICMETA_ERROR);
  EXPECT_EQ(failed[1].method, "ReadEXIF");
  EXPECT_TRUE(Of(PICMETA_EVENT_WORKING_FILE_SAVED).empty());
}

// A parameter holding a NUL names another file than the one a system call
// would reach (the call stops at the NUL): the method touches nothing.
TEST_F(EventsTest, AParameterHoldingANulIsRefusedBeforeAnyFileIsTouched) {
  std::string picture = case_.case_folder + "/IMG_0001.JPG";
  picture.push_back('\0');
  picture += "/../IMG_0002.JPG";
  const auto before = test::FilesIn(case_.case_folder);
  clsmain obj;
  obj.NewWriteDatatoXML(case_.app_path, picture, case_.orgid, "", "0815", "", "");
  obj.DeleteDatafromXML(case_.case_folder, std::string("IMG_0001.JPG\0x", 14));
  obj.CopyExifInfo(case_.app_path, case_.temp_path,
                   std::string("08\0"
                               "15",
                               5));
  EXPECT_EQ(test::FilesIn(case_.case_folder), before);
  EXPECT_TRUE(test::HandOvers(case_.app_path).empty());
  const auto refused = Of(PICMETA_EVENT_PARAMETER_REFUSED);
  ASSERT_EQ(refused.size(), 3u);
  EXPECT_NE(refused[0].message.find("strFilePath"), std::string::npos) << refused[0].message;
  EXPECT_NE(refused[1].message.find("pic_name"), std::string::npos) << refused[1].message;
  EXPECT_NE(refused[2].message.find("Operno"), std::string::npos) << refused[2].message;
  EXPECT_EQ(events_.size(), 3u);
}

TEST_F(EventsTest, ALockTimeoutIsAnError) {
  platform::SetDefaultLockTimeout(30);
  std::promise<void> locked, done;
  std::thread holder([&] {  // another writer, holding the folder
    const platform::FolderLock held = test::Locked(test::At(case_.case_folder));
    locked.set_value();
    done.get_future().wait();
  });
  locked.get_future().wait();
  Write();
  done.set_value();
  holder.join();
  const auto timeouts = Of(PICMETA_EVENT_LOCK_TIMEOUT);
  ASSERT_EQ(timeouts.size(), 1u);
  EXPECT_EQ(timeouts[0].os_error, ETIMEDOUT);
  EXPECT_FALSE(test::Exists(case_.case_folder + "/exifinfo.xml"));
}

TEST_F(EventsTest, AFailureNoStepExpectsIsReported) {
  platform::SetFaultInjector([](platform::Op op) -> platform::Fault {
    if (op == platform::Op::kWrite) throw std::out_of_range("index 7 of 3");
    return {};
  });
  Write();
  const auto bugs = Of(PICMETA_EVENT_UNEXPECTED_FAILURE);
  ASSERT_FALSE(bugs.empty());
  EXPECT_NE(bugs[0].message.find("index 7 of 3"), std::string::npos);
}

TEST_F(EventsTest, AnInvalidQueryIsReportedAndNeverTakenForNothingThere) {
  platform::XmlDocument doc;
  ASSERT_TRUE(doc.LoadXML("<busiinfoprocess><busino>C1</busino></busiinfoprocess>"));
  std::string claim = "kept";
  EXPECT_FALSE(
      capture::Step([&] { claim = doc.SelectSingleNode("/busiinfoprocess/busino[").Text(); }));
  EXPECT_EQ(claim, "kept");
  auto bugs = Of(PICMETA_EVENT_UNEXPECTED_FAILURE);
  ASSERT_EQ(bugs.size(), 1u);
  EXPECT_EQ(bugs[0].severity, PICMETA_ERROR);
  EXPECT_NE(bugs[0].message.find("invalid query: /busiinfoprocess/busino["), std::string::npos)
      << bugs[0].message;
  // Memory exhausted is no input's failure either.
  EXPECT_FALSE(capture::Step([] { throw std::bad_alloc(); }));
  EXPECT_EQ(Of(PICMETA_EVENT_UNEXPECTED_FAILURE).size(), 2u);
  // A failure told where it happened, and a picture that does not read, are
  // not told again as faults.
  EXPECT_FALSE(capture::Step([] { throw capture::Reported(); }));
  EXPECT_FALSE(capture::Step([] { throw reader::SubscriptOutOfRange("entry past the end"); }));
  EXPECT_EQ(Of(PICMETA_EVENT_UNEXPECTED_FAILURE).size(), 2u);
  // A file that failed where no step told it is never dropped.
  EXPECT_FALSE(capture::Step([] {
    records::FailIo({platform::FileStatus::kIoError, EIO}, "cannot read", test::At("x"));
  }));
  bugs = Of(PICMETA_EVENT_UNEXPECTED_FAILURE);
  ASSERT_EQ(bugs.size(), 3u);
  EXPECT_NE(bugs[2].message.find("cannot read x"), std::string::npos) << bugs[2].message;
  EXPECT_EQ(bugs[2].os_error, EIO);
  // Nor is a refusal no step told, or a fault records found, each as what it is.
  EXPECT_FALSE(capture::Step([] { records::Refuse("the name x cannot be written in GBK"); }));
  EXPECT_FALSE(capture::Step(
      [] { throw records::Failure(records::FailureKind::kFault, "working file read twice"); }));
  bugs = Of(PICMETA_EVENT_UNEXPECTED_FAILURE);
  ASSERT_EQ(bugs.size(), 5u);
  EXPECT_EQ(bugs[3].message, "a refusal no step told: the name x cannot be written in GBK");
  EXPECT_EQ(bugs[4].message, "unexpected failure: working file read twice");
}

TEST_F(EventsTest, AHandlerThatThrowsOrCallsBackBreaksNothing) {
  int calls = 0;
  SetLogHandler([&](const Event&) {
    ++calls;
    clsmain().DeleteDatafromXML(case_.case_folder, "IMG_0002.JPG");  // raises events of its own
    throw std::runtime_error("host handler failed");
  });
  Write();
  ReadExif();
  EXPECT_GT(calls, 2);
  EXPECT_TRUE(test::Exists(case_.app_path + "/exif_0815_20110811143005.xml"));
  EXPECT_TRUE(test::Exists(case_.case_folder + "/exifinfo.xml"));
}

TEST_F(EventsTest, WithoutAHandlerTheSameFilesAreWritten) {
  ReadExif();
  Write();
  const std::string with_hook = test::Read(case_.app_path + "/exif_0815_20110811143005.xml");
  const std::string working_with_hook = test::Read(case_.case_folder + "/exifinfo.xml");
  fs::remove(case_.app_path + "/exif_0815_20110811143005.xml");
  fs::remove(case_.case_folder + "/exifinfo.xml");
  SetLogHandler(nullptr);
  events_.clear();
  ReadExif();
  Write();
  EXPECT_TRUE(events_.empty());
  EXPECT_EQ(test::Read(case_.app_path + "/exif_0815_20110811143005.xml"), with_hook);
  EXPECT_EQ(test::Read(case_.case_folder + "/exifinfo.xml"), working_with_hook);
  EXPECT_FALSE(with_hook.empty());
}

TEST_F(EventsTest, TheCInterfaceDeliversTheSameEvents) {
  SetLogHandler(nullptr);
  struct Seen {
    int codes[64];
    int n = 0;
    std::string method;
  } seen;
  picmeta_set_log_handler(
      [](const picmeta_event* e, void* data) {
        auto* s = static_cast<Seen*>(data);
        if (s->n < 64) s->codes[s->n++] = e->code;
        if (e->code == PICMETA_EVENT_HANDOVER_WRITTEN) s->method = e->method;
      },
      &seen);
  ReadExif();
  picmeta_set_log_handler(nullptr, nullptr);
  ReadExif();  // no handler: nothing more arrives
  ASSERT_GT(seen.n, 0);
  EXPECT_EQ(seen.codes[seen.n - 1], PICMETA_EVENT_HANDOVER_WRITTEN);
  EXPECT_EQ(seen.method, "ReadEXIF");
  EXPECT_EQ(seen.n, 4);
}

}  // namespace
}  // namespace picmeta
