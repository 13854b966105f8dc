#include <unordered_set>
#include <vector>

#include "capture/diagnostics.h"
#include "capture/guarded.h"
#include "capture/public_function.h"
#include "picmeta/clsmain.h"
#include "platform/os/fs.h"
#include "platform/os/text.h"
#include "records/hand_over.h"
#include "records/record_document.h"
#include "records/workspace.h"

namespace picmeta {
namespace {

using capture::Step;
using Taken = records::HandOver::Taken;
namespace ws = records::workspace;

// Tells what recovering the hand-overs of calls that died did.
void ReportRecovered(const std::vector<records::RecoveredHandOver>& recovered) {
  for (const auto& r : recovered) {
    if (!r.finished) {
      capture::Emit(PICMETA_EVENT_HANDOVER_RECOVERED, r.journal,
                    "a hand-over left by a call that ended could not be finished yet: left for a "
                    "later call");
      continue;
    }
    capture::Emit(PICMETA_EVENT_HANDOVER_RECOVERED, r.committed ? r.handover : r.journal,
                  r.committed ? "a hand-over left by a call that ended stands: its working files "
                                "were removed"
                              : "a hand-over left by a call that ended did not come about: its "
                                "working files were given back");
  }
}

// Tells what became of one folder's working file.
void ReportTaken(const Taken& t) {
  const std::string shown = platform::NativePath(t.path);
  switch (t.kind) {
    case Taken::Kind::kMissing:
    case Taken::Kind::kClaimed:
      break;
    case Taken::Kind::kNotLoaded:
      capture::Emit(
          PICMETA_EVENT_WORKING_FILE_NOT_LOADED, t.path,
          "working file " + shown + ": " + platform::Describe(t.result) + ", left in place");
      break;
    case Taken::Kind::kNothingTaken: {
      const auto& first = t.left.front();
      const std::string which = first.filename.empty() ? "" : " of " + first.filename;
      capture::Emit(
          PICMETA_EVENT_RECORDS_LEFT, t.path,
          "working file " + shown +
              (t.left.size() == 1
                   ? ": its record" + which + " cannot be handed over (" + first.why + ")"
                   : ": none of its " +
                         capture::Counted(static_cast<long long>(t.left.size()), "record") +
                         " can be handed over (the record" + which + ": " + first.why + ")") +
              ", left in place",
          static_cast<long long>(t.left.size()));
      break;
    }
    case Taken::Kind::kReadOnly:
      capture::Emit(PICMETA_EVENT_WORKING_FILE_KEPT, t.path,
                    "working file " + shown +
                        " is read-only: not handed over, as it could not be removed afterwards");
      break;
    case Taken::Kind::kSameFile:
      capture::Emit(PICMETA_EVENT_WORKING_FILE_KEPT, t.path,
                    "working file " + shown + " is the one of folder " +
                        platform::NativePath(t.same_as) + ", already taken");
      break;
  }
  if (t.kind == Taken::Kind::kClaimed) {
    for (const auto& left : t.left)
      capture::Emit(PICMETA_EVENT_RECORDS_LEFT, t.path,
                    "working file " + shown + " keeps the record" +
                        (left.filename.empty() ? std::string() : " of " + left.filename) +
                        ", which cannot be handed over: " + left.why,
                    1);
  }
}

void Run(const std::string& strFolderPath1, const std::string& TempPath1,
         const std::string& Operno) {
  const std::string folder = platform::BackslashPath(strFolderPath1);
  const std::string temp = platform::BackslashPath(TempPath1);
  if (!platform::FolderExists(folder)) {
    capture::Emit(PICMETA_EVENT_GATE_STOPPED, folder,
                  "case folder " + platform::NativePath(folder) + " does not exist");
    return;
  }
  // What calls that died left of their hand-overs is finished first.
  Step([&] { ReportRecovered(records::RecoverCase(folder)); });

  std::vector<std::string> folders;
  {
    platform::XmlDocument busi;
    const std::string busi_path = ws::Join(folder, ws::kBusiInfoFile);
    if (const auto r = ws::Load(busi, busi_path); !r) {
      Public_Function::ReportNotLoaded(busi_path, r);
      return;
    }
    Public_Function::CollectDocumentFolders(busi.DocumentElement(), "", folders);
  }

  records::HandOver handover(folder, Operno);
  long long with_files = 0;
  std::unordered_set<std::string> seen;  // a folder listed twice is taken once
  for (const std::string& entry : folders) {
    Step([&] {
      const std::string working_folder = temp + entry;
      if (!seen.insert(working_folder).second) return;
      Taken t;
      try {
        t = handover.Take(working_folder);
      } catch (const platform::FsError& e) {
        Public_Function::ReportFsFailure(PICMETA_EVENT_READ_FAILED,
                                         ws::Join(working_folder, records::kWorkingFileName), e);
        ++with_files;
        throw;
      }
      Public_Function::ReportRecovered(t.recovered);
      if (t.kind != Taken::Kind::kMissing) ++with_files;
      ReportTaken(t);
    });
  }
  if (!handover.found()) {
    // Only a case none of whose folders holds a working file is said to have none.
    if (with_files == 0)
      capture::Emit(
          PICMETA_EVENT_NOTHING_TO_HAND_OVER, folder,
          "no working file in the case's " +
              capture::Counted(static_cast<long long>(folders.size()), "document folder") +
              ": nothing handed over");
    return;
  }

  // The working files give up their records only once the hand-over file
  // holding them stands whole; if writing it fails they all come back.
  records::HandOver::Committed committed;
  try {
    committed = handover.Commit();
  } catch (const platform::FsError& e) {
    Public_Function::ReportFsFailure(PICMETA_EVENT_SAVE_FAILED, folder, e);
    throw;
  }
  const long long count = handover.records();
  capture::Emit(PICMETA_EVENT_HANDOVER_WRITTEN, committed.path,
                "hand-over file written with " + capture::Counted(count, "record"), count);
  for (const auto& released : committed.released) {
    const std::string path = ws::Join(released.folder, records::kWorkingFileName);
    if (released.error.empty())
      capture::Emit(PICMETA_EVENT_WORKING_FILE_TAKEN, path,
                    "working file " + platform::NativePath(path) + " handed over and removed");
    else
      capture::Emit(PICMETA_EVENT_SAVE_FAILED, path,
                    "working file " + platform::NativePath(path) +
                        " handed over; its removal is left to a later call: " + released.error);
  }
}

}  // namespace

void clsmain::CopyExifInfo(std::string strFolderPath1, std::string TempPath1, std::string Operno) {
  capture::MethodScope scope("CopyExifInfo");
  Step([&] { Run(strFolderPath1, TempPath1, Operno); });
  scope.Finish();
}

}  // namespace picmeta
