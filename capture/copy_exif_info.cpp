#include <unordered_set>
#include <vector>

#include "capture/diagnostics.h"
#include "capture/gates.h"
#include "capture/guarded.h"
#include "capture/methods.h"
#include "capture/public_function.h"
#include "capture/reports.h"
#include "picmeta/clsmain.h"
#include "platform/os/fs.h"
#include "platform/os/text.h"
#include "records/hand_over.h"
#include "records/record_document.h"
#include "records/recovery.h"
#include "records/workspace.h"

namespace picmeta {
namespace {

using capture::Step;
using Taken = records::HandOver::Taken;
namespace ws = records::workspace;

// Tells what recovering the hand-overs of calls that died did.
void ReportRecovered(const records::CaseRecovery& recovered) {
  for (const auto& r : recovered.handovers) {
    if (!r.finished) continue;  // told as waiting
    capture::Emit(PICMETA_EVENT_HANDOVER_RECOVERED, (r.handover ? *r.handover : r.journal).Native(),
                  r.committed ? "a hand-over left by a call that ended stands: its working files "
                                "were removed"
                              : "a hand-over left by a call that ended did not come about: its "
                                "working files were given back");
  }
  capture::ReportLeftovers(recovered.leftovers);
}

// Tells what became of one folder's working file.
void ReportTaken(const Taken& t) {
  const std::string shown = t.path.Native();
  switch (t.kind) {
    case Taken::Kind::kMissing:
    case Taken::Kind::kClaimed:
      break;
    case Taken::Kind::kNotLoaded:
      capture::Emit(
          PICMETA_EVENT_WORKING_FILE_NOT_LOADED, shown,
          "working file " + shown + ": " + records::Describe(t.result) + ", left in place");
      break;
    case Taken::Kind::kNothingTaken: {
      const auto& first = t.left.front();
      const std::string which = first.filename.empty() ? "" : " of " + first.filename;
      capture::Emit(
          PICMETA_EVENT_RECORDS_LEFT, shown,
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
      capture::Emit(PICMETA_EVENT_WORKING_FILE_KEPT, shown,
                    "working file " + shown +
                        " is read-only: not handed over, as it could not be removed afterwards");
      break;
    case Taken::Kind::kSameFile:
      capture::Emit(PICMETA_EVENT_WORKING_FILE_KEPT, shown,
                    "working file " + shown + " is the one of folder " + t.same_as.Native() +
                        ", already taken");
      break;
  }
  if (t.kind == Taken::Kind::kClaimed) {
    for (const auto& left : t.left)
      capture::Emit(PICMETA_EVENT_RECORDS_LEFT, shown,
                    "working file " + shown + " keeps the record" +
                        (left.filename.empty() ? std::string() : " of " + left.filename) +
                        ", which cannot be handed over: " + left.why,
                    1);
  }
}

void Run(const std::string& strFolderPath1, const std::string& TempPath1,
         const std::string& Operno) {
  const platform::Path folder = capture::FolderParameter(strFolderPath1);
  const platform::Path temp = capture::FolderParameter(TempPath1);
  if (!platform::FolderExists(folder)) {
    capture::Emit(PICMETA_EVENT_GATE_STOPPED, folder.Native(),
                  "case folder " + folder.Native() + " does not exist");
    return;
  }
  std::vector<std::string> entries;
  const platform::Path busi_path = folder / ws::kBusiInfoFile;
  records::LoadResult loaded;
  {
    const ws::Case busi = ws::ReadCase(busi_path);
    loaded = busi.result;
    if (loaded) Public_Function::CollectDocumentFolders(busi.root, "", entries);
  }
  // The document folders, each once (a folder listed twice is taken once).
  std::vector<platform::Path> folders;
  std::unordered_set<platform::Path, platform::PathHash> seen;
  for (const std::string& entry : entries) {
    platform::Path working_folder = temp.Join(platform::Path::FromText(entry));
    if (seen.insert(working_folder).second) folders.push_back(std::move(working_folder));
  }

  // What calls that died left of their hand-overs is finished first (as far
  // as the case's folders reach when its file does not load).
  Step([&] {
    capture::TellingIo(PICMETA_EVENT_READ_FAILED, folder,
                       [&] { ReportRecovered(records::RecoverCase(folder, folders)); });
  });
  if (!loaded) {
    capture::ReportNotLoaded(busi_path, loaded);
    return;
  }

  records::HandOver handover(folder, Operno, folders.size());
  long long with_files = 0;
  for (const platform::Path& working_folder : folders) {
    Step([&] {
      Taken t;
      try {
        t = handover.Take(working_folder);
      } catch (const records::Failure& e) {
        if (e.kind() != records::FailureKind::kIo) throw;
        capture::ReportFsFailure(PICMETA_EVENT_READ_FAILED,
                                 working_folder / records::kWorkingFileName, e);
        ++with_files;
        throw capture::Reported();
      }
      capture::ReportLeftovers(t.leftovers);
      if (t.kind != Taken::Kind::kMissing) ++with_files;
      ReportTaken(t);
    });
  }
  if (!handover.found()) {
    // Only a case none of whose folders holds a working file is said to have none.
    if (with_files == 0)
      capture::Emit(
          PICMETA_EVENT_NOTHING_TO_HAND_OVER, folder.Native(),
          "no working file in the case's " +
              capture::Counted(static_cast<long long>(entries.size()), "document folder") +
              ": nothing handed over");
    return;
  }

  // The working files give up their records only once the hand-over file
  // holding them stands whole; if writing it fails they all come back.
  const records::HandOver::Committed committed =
      capture::TellingIo(PICMETA_EVENT_SAVE_FAILED, folder, [&] { return handover.Commit(); });
  const long long count = handover.records();
  capture::Emit(PICMETA_EVENT_HANDOVER_WRITTEN, committed.path.Native(),
                "hand-over file written with " + capture::Counted(count, "record"), count);
  for (const auto& released : committed.released) {
    const platform::Path path = released.folder / records::kWorkingFileName;
    if (released.error.empty())
      capture::Emit(PICMETA_EVENT_WORKING_FILE_TAKEN, path.Native(),
                    "working file " + path.Native() + " handed over and removed");
    else
      capture::Emit(PICMETA_EVENT_SAVE_FAILED, path.Native(),
                    "working file " + path.Native() +
                        " handed over; its removal is left to a later call: " + released.error);
  }
  if (!committed.unfinished.empty())
    capture::Emit(
        PICMETA_EVENT_CLAIM_WAITING, folder.Native(),
        "the hand-over stands; its last steps wait for a later call: " + committed.unfinished);
}

}  // namespace

namespace capture::methods {

void CopyExifInfo(const std::string& strFolderPath1, const std::string& TempPath1,
                  const std::string& Operno) {
  if (capture::Accepted(
          {{"strFolderPath1", &strFolderPath1}, {"TempPath1", &TempPath1}, {"Operno", &Operno}}))
    Run(strFolderPath1, TempPath1, Operno);
}

}  // namespace capture::methods

void clsmain::CopyExifInfo(std::string strFolderPath1, std::string TempPath1, std::string Operno) {
  capture::Method("CopyExifInfo",
                  [&] { capture::methods::CopyExifInfo(strFolderPath1, TempPath1, Operno); });
}

}  // namespace picmeta
