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

struct TakenFile {
  std::string folder;
  platform::FileVersion version;
};

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
  const std::string base = records::HandOverBase(folder, Operno);
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
      found = true;
      const auto version = platform::VersionOf(working.path());
      for (const auto& info : working.doc().SelectNodes(records::kRecordQuery))
        root.AppendChild(merged.CloneNode(info));
      if (version) taken.push_back({working_folder, *version});
    });
  }
  if (!found) return;  // no working file loaded: nothing is written

  // The working files go only once the hand-over file holding their records
  // stands whole; if writing it fails they all stay for the next call.
  records::SaveScrambled(merged, base + ".xml");
  for (const TakenFile& file : taken) {
    Step([&] {
      const platform::FolderLock lock(file.folder);
      const std::string path = ws::Join(file.folder, records::kWorkingFileName);
      // A file changed since it was read holds records not handed over: keep it.
      if (platform::VersionOf(path) != file.version) return;
      platform::DeleteFile(path);
    });
  }
}

}  // namespace

void clsmain::CopyExifInfo(std::string strFolderPath1, std::string TempPath1,
                           std::string Operno) noexcept {
  Step([&] { Run(strFolderPath1, TempPath1, Operno); });
}

}  // namespace picmeta
