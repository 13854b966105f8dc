#include <vector>

#include "capture/guarded.h"
#include "capture/info_attributes.h"
#include "capture/public_function.h"
#include "picmeta/clsmain.h"
#include "platform/text.h"
#include "records/record_document.h"
#include "records/workspace.h"

namespace picmeta {
namespace {

using capture::Step;
namespace ws = records::workspace;

struct Picture {
  std::string path;      // below the picture tree root, "\" separators
  std::string filepath;  // "/"-separated folders below the level-0 folder
};

// The picture below the folders F0 to Fk; an empty folder name adds no level,
// so every picture is paired with its own folder.
Picture MakePicture(const std::vector<std::string>& levels, const std::string& name) {
  Picture p;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    if (levels[i].empty()) continue;
    p.path += levels[i] + "\\";
    if (i > 0) p.filepath += "/" + levels[i];
  }
  p.path += name;
  if (p.filepath.empty()) p.filepath.push_back('/');
  return p;
}

class CaseWalk {
 public:
  CaseWalk(const std::string& app_path, std::vector<Picture>& out)
      : names_(app_path), out_(out) {}

  void Walk(const platform::XmlDocument& doc) {
    const auto e0 = doc.SelectSingleNode(ws::kFirstRecordQuery);
    if (!e0) return;
    levels_ = {FolderName(e0)};
    for (const auto& e1 : e0.SelectNodes(ws::kSubclassQuery)) {
      Enter(1, e1);
      for (const auto& e2 : e1.SelectNodes(ws::kDocTypeQueryReadExif)) {
        Enter(2, e2);
        for (const auto& e3 : e2.SelectNodes(ws::kDocTypeQueryReadExif)) {
          Enter(3, e3);
          for (const auto& e4 : e3.SelectNodes(ws::kDocTypeQueryReadExif)) {
            Enter(4, e4);
            TakeDocuments(e4);
          }
          levels_.resize(4);
          TakeDocuments(e3);
        }
        levels_.resize(3);
        TakeDocuments(e2);
      }
      levels_.resize(2);
    }
  }

 private:
  static std::string FolderName(const platform::XmlNode& e) {
    return e.GetAttribute("foldername").value_or("");
  }
  void Enter(std::size_t level, const platform::XmlNode& e) {
    levels_.resize(level);
    levels_.push_back(FolderName(e));
  }
  void TakeDocuments(const platform::XmlNode& e) {
    for (const auto& r : e.SelectNodes(ws::kDocumentsQuery)) {
      const std::string index = r.GetAttribute("resourcemainindex").value_or("");
      out_.push_back(MakePicture(levels_, names_.Lookup(index)));
    }
  }

  ws::ResourceNames names_;
  std::vector<Picture>& out_;
  std::vector<std::string> levels_;
};

void Run(const std::string& TempPath1, const std::string& AppPath1, const std::string& Busitype,
         const std::string& ClassCode, const std::string& Orgid, const std::string& Busiorgid,
         const std::string& Operno, const std::string& Opername, const std::string& BusiTime,
         const std::string& Systemid, const std::string& BusiProcess, const std::string& IP) {
  if (Busitype != "2") return;
  clsPicinfo record;
  Public_Function::SplitOrgid(Orgid, record);
  const std::string app_path = platform::BackslashPath(AppPath1);
  const std::string temp_path = platform::BackslashPath(TempPath1);

  platform::XmlDocument busi;
  if (!busi.Load(ws::Join(app_path, ws::kBusiInfoFile))) return;
  Step([&] { record.Claimstno(busi.SelectSingleNode(ws::kBusinoQuery).Text()); });
  record.ClassCode(ClassCode);
  if (record.ClassCode().empty()) {
    Step([&] {
      const auto e0 = busi.SelectSingleNode(ws::kFirstRecordQuery);
      const auto code = e0.GetAttribute("classcode");
      if (code && !code->empty()) {
        record.ClassCode(*code);
      } else {
        record.ClassCode(
            e0.SelectSingleNode(ws::kClassCodeAttributeQuery).GetAttribute("value").value());
      }
    });
  }
  if (record.ClassCode() != "11020000") return;

  std::vector<Picture> pictures;
  Step([&] { CaseWalk(app_path, pictures).Walk(busi); });

  // Each record is written out as soon as it is built: a case of many
  // thousand pictures never stands in memory as a tree.
  platform::XmlStreamWriter doc;
  if (!records::StartRecordStream(doc)) return;
  const capture::CallerValues caller{Busiorgid, Operno,   Opername, BusiTime,
                                     IP,        Busitype, Systemid, BusiProcess};
  for (const Picture& picture : pictures) {
    Step([&] {
      Public_Function::ReadPicInfo(ws::Join(temp_path, picture.path), record);
      auto info = doc.CreateElement("info");
      capture::SetInfoAttributes(info.get(), record, caller, picture.filepath,
                                 capture::InfoColumns::kReadExif);
      doc.Append(std::move(info));
    });
  }
  const std::string base = records::HandOverBase(app_path, Operno);
  Step([&] { records::SaveScrambled(doc.Finish(), base + ".xml"); });
}

}  // namespace

void clsmain::ReadEXIF(std::string TempPath1, std::string AppPath1, std::string Busitype,
                       std::string ClassCode, std::string Orgid, std::string Busiorgid,
                       std::string Operno, std::string Opername, std::string BusiTime,
                       std::string Systemid, std::string BusiProcess, std::string IP) noexcept {
  Step([&] {
    Run(TempPath1, AppPath1, Busitype, ClassCode, Orgid, Busiorgid, Operno, Opername, BusiTime,
        Systemid, BusiProcess, IP);
  });
}

}  // namespace picmeta
