#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "capture/diagnostics.h"
#include "capture/guarded.h"
#include "capture/public_function.h"
#include "picmeta/clsmain.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "records/record_document.h"
#include "records/workspace.h"

namespace picmeta {
namespace {

using capture::Step;
namespace ws = records::workspace;

// A working file whose records went into the hand-over file.
struct TakenFile {
  std::string folder;
  std::uint64_t hash = 0;
  std::unordered_map<std::uint64_t, int> records;  // what was handed over, by content hash
  bool whole = false;                 // every record of the file was
};

// Takes the handed-over records out of a working file, under its lock: the
// file goes when it is as it was read and went whole into the hand-over; a
// file changed meanwhile keeps what was added or changed since, so that every
// record stands in exactly one place.
void Release(TakenFile& taken) {
  // A file as it was read needs no parsing again: it simply goes.
  auto opened = Public_Function::OpenWorkingFile(
      taken.folder, taken.whole ? std::optional<std::uint64_t>(taken.hash) : std::nullopt);
  records::WorkingFile& working = *opened;
  if (!working.loaded()) return;  // gone or replaced by something unreadable: leave it
  if (!working.unchanged()) {
    auto& doc = working.doc();
    bool kept = false;
    for (const auto& info : doc.SelectNodes(records::kRecordQuery)) {
      const auto it = taken.records.find(info.AttributesHash());
      if (it != taken.records.end() && it->second > 0) {
        --it->second;
        doc.DocumentElement().RemoveChild(info);
      } else {
        kept = true;
      }
    }
    if (kept) {
      Public_Function::SaveWorkingFile(working);
      capture::Emit(PICMETA_EVENT_WORKING_FILE_TAKEN, working.path(),
                    "working file changed meanwhile: the records handed over were taken out");
      return;
    }
  }
  try {
    platform::DeleteFile(working.path());
  } catch (const platform::FsError& e) {
    capture::Emit(PICMETA_EVENT_WORKING_FILE_KEPT, working.path(),
                  std::string("working file handed over but kept: ") + e.what(), -1, e.error());
    throw;
  }
  platform::SyncFolder(taken.folder);
  capture::Emit(PICMETA_EVENT_WORKING_FILE_TAKEN, working.path(),
                "working file handed over and removed");
}

void Run(const std::string& strFolderPath1, const std::string& TempPath1,
         const std::string& Operno) {
  const std::string folder = platform::BackslashPath(strFolderPath1);
  const std::string temp = platform::BackslashPath(TempPath1);
  if (!platform::FolderExists(folder)) {
    capture::Emit(PICMETA_EVENT_GATE_STOPPED, folder, "case folder " + folder + " does not exist");
    return;
  }

  std::vector<std::string> folders;
  {
    platform::XmlDocument busi;
    const std::string busi_path = ws::Join(folder, ws::kBusiInfoFile);
    if (const auto r = busi.Load(busi_path); !r) {
      Public_Function::ReportNotLoaded(busi_path, r);
      return;
    }
    Public_Function::CollectDocumentFolders(busi.DocumentElement(), "", folders);
  }
  // The hand-over document is written record by record: a large case never
  // stands in memory as one tree.
  platform::XmlStreamWriter merged;
  if (!records::StartRecordStream(merged)) return;

  bool found = false;
  std::vector<TakenFile> taken;
  std::unordered_set<std::string> seen;  // a folder listed twice is taken once
  for (const std::string& entry : folders) {
    Step([&] {
      const std::string working_folder = temp + entry;
      if (!seen.insert(working_folder).second) return;
      auto opened = Public_Function::OpenWorkingFile(working_folder);
      records::WorkingFile& working = *opened;
      if (!working.loaded()) {
        if (working.unreadable())
          capture::Emit(PICMETA_EVENT_WORKING_FILE_NOT_LOADED, working.path(),
                        "working file " + working.path() + ": " +
                            platform::Describe(working.result()) + ", left in place");
        return;
      }
      found = true;
      // Registered first and counted as written: whatever of this file went
      // into the hand-over, exactly that is taken out of it later.
      TakenFile& file = taken.emplace_back(TakenFile{working_folder, working.hash(), {}});
      for (const auto& info : working.doc().SelectNodes(records::kRecordQuery)) {
        const std::uint64_t content = info.AttributesHash();
        merged.AppendCopy(info);
        ++file.records[content];
      }
      file.whole = true;
    });
  }
  if (!found) {  // no working file loaded: nothing is written
    capture::Emit(PICMETA_EVENT_NOTHING_TO_HAND_OVER, folder,
                  "no working file in the case's " + std::to_string(folders.size()) +
                      " document folders: nothing handed over");
    return;
  }

  // The working files give up their records only once the hand-over file
  // holding them stands whole; if writing it fails they all stay.
  long long count = 0;
  for (const TakenFile& file : taken)
    for (const auto& [record, n] : file.records) count += n;
  Public_Function::WriteHandOver(folder, Operno, merged.Finish(), count);
  for (TakenFile& file : taken) Step([&] { Release(file); });
}

}  // namespace

void clsmain::CopyExifInfo(std::string strFolderPath1, std::string TempPath1, std::string Operno) {
  capture::MethodScope scope("CopyExifInfo");
  Step([&] { Run(strFolderPath1, TempPath1, Operno); });
  scope.Finish();
}

}  // namespace picmeta
