#include <map>
#include <unordered_set>
#include <vector>

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
using Attributes = std::vector<std::pair<std::string, std::string>>;

// A working file whose records went into the hand-over file.
struct TakenFile {
  std::string folder;
  std::uint64_t hash = 0;
  std::map<Attributes, int> records;  // what was handed over, by content
};

// Takes the handed-over records out of a working file, under its lock: the
// file goes when it is as it was read; a file changed meanwhile keeps what
// was added or changed since, so that every record stands in exactly one place.
void Release(TakenFile& taken) {
  records::WorkingFile working(taken.folder);
  if (!working.loaded()) return;  // gone or replaced by something unreadable: leave it
  if (working.hash() != taken.hash) {
    auto& doc = working.doc();
    bool kept = false;
    for (const auto& info : doc.SelectNodes(records::kRecordQuery)) {
      const auto it = taken.records.find(info.Attributes());
      if (it != taken.records.end() && it->second > 0) {
        --it->second;
        doc.DocumentElement().RemoveChild(info);
      } else {
        kept = true;
      }
    }
    if (kept) {
      working.Save();
      return;
    }
  }
  platform::DeleteFile(working.path());
  platform::SyncFolder(taken.folder);
}

void Run(const std::string& strFolderPath1, const std::string& TempPath1,
         const std::string& Operno) {
  const std::string folder = platform::BackslashPath(strFolderPath1);
  const std::string temp = platform::BackslashPath(TempPath1);
  if (!platform::FolderExists(folder)) return;

  std::vector<std::string> folders;
  {
    platform::XmlDocument busi;
    if (!busi.Load(ws::Join(folder, ws::kBusiInfoFile))) return;
    Public_Function::CollectDocumentFolders(busi.DocumentElement(), "", folders);
  }
  platform::XmlDocument merged;
  if (!records::NewRecordDocument(merged)) return;
  const platform::XmlNode root = merged.DocumentElement();

  bool found = false;
  std::vector<TakenFile> taken;
  std::unordered_set<std::string> seen;  // a folder listed twice is taken once
  for (const std::string& entry : folders) {
    Step([&] {
      const std::string working_folder = temp + entry;
      if (!seen.insert(working_folder).second) return;
      records::WorkingFile working(working_folder);
      if (!working.loaded()) return;
      TakenFile file{working_folder, working.hash(), {}};
      for (const auto& info : working.doc().SelectNodes(records::kRecordQuery)) {
        root.AppendChild(merged.CloneNode(info));
        ++file.records[info.Attributes()];
      }
      found = true;
      taken.push_back(std::move(file));
    });
  }
  if (!found) return;  // no working file loaded: nothing is written

  // The working files give up their records only once the hand-over file
  // holding them stands whole; if writing it fails they all stay.
  records::WriteHandOver(folder, Operno, merged.Serialize());
  for (TakenFile& file : taken) Step([&] { Release(file); });
}

}  // namespace

void clsmain::CopyExifInfo(std::string strFolderPath1, std::string TempPath1,
                           std::string Operno) {
  Step([&] { Run(strFolderPath1, TempPath1, Operno); });
}

}  // namespace picmeta
