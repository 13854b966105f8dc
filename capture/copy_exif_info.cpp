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
  bool whole = false;                              // every record of the file was
};

// Drops the records that were handed over, one for one.
class DropHandedOver : public records::RecordEditor {
 public:
  explicit DropHandedOver(const TakenFile& taken) : taken_(taken) {}
  void Begin() override {
    left_ = taken_.records;
    kept_ = false;
  }
  bool Record(platform::XmlItem& record) override {
    const auto it = left_.find(record.AttributesHash());
    if (it != left_.end() && it->second > 0) {
      --it->second;
      return false;
    }
    kept_ = true;
    return true;
  }
  // A file left with no record of its own goes instead.
  bool Save() const override { return kept_; }

 private:
  const TakenFile& taken_;
  std::unordered_map<std::uint64_t, int> left_;
  bool kept_ = false;
};

// Takes the handed-over records out of a working file, under its lock: the
// file goes when it is as it was read and went whole into the hand-over; a
// file changed meanwhile keeps what was added or changed since, so that every
// record stands in exactly one place.
void Release(TakenFile& taken) {
  auto opened = Public_Function::OpenWorkingFile(taken.folder);
  records::WorkingFile& working = *opened;
  if (!working.result()) return;  // gone or replaced by something unreadable: leave it
  // A file as it was read needs no parsing again: it simply goes.
  if (!(taken.whole && working.Holds(taken.hash))) {
    DropHandedOver drop(taken);
    const auto outcome = Public_Function::RewriteWorkingFile(
        working, drop, records::WorkingFile::IfNotLoaded::kLeave);
    if (outcome.saved) {
      capture::Emit(PICMETA_EVENT_WORKING_FILE_TAKEN, working.path(),
                    "working file changed meanwhile: the records handed over were taken out");
      return;
    }
    if (!working.result()) return;
  }
  working.Close();
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
    capture::Emit(PICMETA_EVENT_GATE_STOPPED, folder,
                  "case folder " + platform::NativePath(folder) + " does not exist");
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
  platform::XmlFrame frame;
  if (!records::RecordFrame(frame)) return;
  std::string bytes;
  platform::XmlItemWriter merged;
  merged.Begin(frame, [&bytes](std::string_view piece) { bytes.append(piece); });

  bool found = false;
  std::vector<TakenFile> taken;
  std::unordered_set<std::string> seen;  // a folder listed twice is taken once
  for (const std::string& entry : folders) {
    Step([&] {
      const std::string working_folder = temp + entry;
      if (!seen.insert(working_folder).second) return;
      auto opened = Public_Function::OpenWorkingFile(working_folder, true);
      records::WorkingFile& working = *opened;
      // Whatever of a file that turns out not to load went into the hand-over
      // is taken back out of it.
      const auto mark = merged.GetMark();
      const std::size_t size = bytes.size();
      std::unordered_map<std::uint64_t, int> records;
      bool loaded = false;
      try {
        loaded = working.Read([&](const platform::XmlItem& info) {
          merged.Write(info);
          ++records[info.AttributesHash()];
        });
      } catch (...) {
        merged.Restore(mark);
        bytes.resize(size);
        throw;
      }
      if (!loaded) {
        merged.Restore(mark);
        bytes.resize(size);
        if (working.unreadable())
          capture::Emit(PICMETA_EVENT_WORKING_FILE_NOT_LOADED, working.path(),
                        "working file " + platform::NativePath(working.path()) + ": " +
                            platform::Describe(working.result()) + ", left in place");
        return;
      }
      found = true;
      // Whatever of this file went into the hand-over, exactly that is taken
      // out of it later.
      taken.push_back(TakenFile{working_folder, working.hash(), std::move(records), true});
    });
  }
  if (!found) {  // no working file loaded: nothing is written
    capture::Emit(PICMETA_EVENT_NOTHING_TO_HAND_OVER, folder,
                  "no working file in the case's " +
                      capture::Counted(folders.size(), "document folder") +
                      ": nothing handed over");
    return;
  }

  // The working files give up their records only once the hand-over file
  // holding them stands whole; if writing it fails they all stay.
  long long count = 0;
  for (const TakenFile& file : taken)
    for (const auto& [record, n] : file.records) count += n;
  merged.End();
  Public_Function::WriteHandOver(folder, Operno, std::move(bytes), count);
  for (TakenFile& file : taken) Step([&] { Release(file); });
}

}  // namespace

void clsmain::CopyExifInfo(std::string strFolderPath1, std::string TempPath1, std::string Operno) {
  capture::MethodScope scope("CopyExifInfo");
  Step([&] { Run(strFolderPath1, TempPath1, Operno); });
  scope.Finish();
}

}  // namespace picmeta
