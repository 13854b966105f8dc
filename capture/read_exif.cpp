#include <vector>

#include "capture/diagnostics.h"
#include "capture/gates.h"
#include "capture/guarded.h"
#include "capture/info_attributes.h"
#include "capture/methods.h"
#include "capture/public_function.h"
#include "capture/reports.h"
#include "capture/working_files.h"
#include "picmeta/clsmain.h"
#include "platform/os/text.h"
#include "records/formats.h"
#include "records/record_document.h"
#include "records/workspace.h"

namespace picmeta {
namespace {

using capture::Step;
namespace ws = records::workspace;

struct Picture {
  platform::Path path;   // below the picture tree root
  std::string filepath;  // "/"-separated folders below the level-0 folder
  bool named = false;    // a document without a name names no file
};

// The picture below the folders F0 to Fk; an empty folder name adds no level,
// so every picture is paired with its own folder.
Picture MakePicture(const std::vector<std::string>& levels, const std::string& name) {
  Picture p;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    if (levels[i].empty()) continue;
    p.path /= levels[i];
    if (i > 0) p.filepath += "/" + levels[i];
  }
  p.path /= name;
  p.named = !name.empty();
  if (p.filepath.empty()) p.filepath.push_back('/');
  return p;
}

class CaseWalk {
 public:
  CaseWalk(const platform::Path& app_path, std::vector<Picture>& out)
      : names_(app_path), out_(out) {
    if (!names_.result()) capture::ReportNotLoaded(app_path / ws::kResourceFile, names_.result());
  }

  // The case's first record and four levels of records below it; the
  // documents of the lower three, each level's after those below it.
  void Walk(const ws::Case& c) {
    if (!c.is_case || c.root.records.empty()) return;
    const ws::CaseRecord& e0 = c.root.records.front();
    if (!Enter(0, e0)) return;
    for (const auto& e1 : e0.records) {
      if (!Enter(1, e1)) continue;
      for (const auto& e2 : e1.records) {
        if (!Enter(2, e2)) continue;
        for (const auto& e3 : e2.records) {
          if (!Enter(3, e3)) continue;
          for (const auto& e4 : e3.records) {
            if (!Enter(4, e4)) continue;
            TakeDocuments(e4);
          }
          levels_.resize(4);
          TakeDocuments(e3);
        }
        levels_.resize(3);
        TakeDocuments(e2);
      }
    }
  }

 private:
  // False for a record whose folder name would leave its parent folder:
  // neither it nor anything below it is taken.
  bool Enter(std::size_t level, const ws::CaseRecord& e) {
    if (!records::SafeFolderName(e.folder)) return false;
    levels_.resize(level);
    levels_.push_back(e.folder);
    return true;
  }
  void TakeDocuments(const ws::CaseRecord& e) {
    for (const std::string& index : e.documents) {
      std::string name = names_.Lookup(index);
      if (capture::Logging() && names_.result() && !names_.Known(index))
        capture::Emit(PICMETA_EVENT_RESOURCE_NOT_FOUND, "",
                      "resource index '" + index + "' has no name in resourceprocess.xml");
      if (!records::SafeFileName(name)) name.clear();  // names no picture
      out_.push_back(MakePicture(levels_, name));
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
  if (Busitype != "2") {
    capture::Emit(PICMETA_EVENT_GATE_STOPPED, "", "business type '" + Busitype + "' is not 2");
    return;
  }
  clsPicinfo record;
  capture::SplitOrgid(Orgid, record);
  const platform::Path app_path = capture::FolderParameter(AppPath1);
  const platform::Path temp_path = capture::FolderParameter(TempPath1);

  const platform::Path busi_path = app_path / ws::kBusiInfoFile;
  const ws::Case busi = ws::ReadCase(busi_path);
  if (!busi.result) {
    capture::ReportNotLoaded(busi_path, busi.result);
    return;
  }
  // Without a claim number element the claim number stays empty.
  if (busi.claim_number) record.Claimstno(*busi.claim_number);
  record.ClassCode(ClassCode);
  if (record.ClassCode().empty()) {
    // The first record's own class code, else its class code attribute
    // element's value; with neither, the class code stays empty (and the gate
    // below stops the call).
    if (busi.class_code && !busi.class_code->empty()) {
      record.ClassCode(*busi.class_code);
    } else if (busi.class_code_value) {
      record.ClassCode(*busi.class_code_value);
    }
  }
  if (record.ClassCode() != "11020000") {
    capture::Emit(PICMETA_EVENT_GATE_STOPPED, "",
                  "class code '" + record.ClassCode() + "' is not 11020000");
    return;
  }

  std::vector<Picture> pictures;
  CaseWalk(app_path, pictures).Walk(busi);

  // Each record is written out as soon as it is built.
  std::string bytes;
  records::RecordStream doc(bytes);
  if (!doc.ok()) return;
  const capture::CallerValues caller{Busiorgid, Operno,   Opername, BusiTime,
                                     IP,        Busitype, Systemid, BusiProcess};
  long long written = 0;
  for (const Picture& picture : pictures) {
    Step([&] {
      const platform::Path path = temp_path.Join(picture.path);
      const auto read = picture.named ? Public_Function::ReadPicture(path, record)
                                      : Public_Function::PictureRead{
                                            Public_Function::PictureRead::Kind::kMissing, {}, 0};
      if (read.kind == Public_Function::PictureRead::Kind::kNotRead)
        capture::ReportNotRead(path, read, "its record holds the values that could be read");
      if (read.kind != Public_Function::PictureRead::Kind::kMissing &&
          !records::StorableName(records::TrimBlanks(path.Name())))
        capture::ReportNameNotStorable(path, "its record holds the name as stored");
      auto info = records::Record::Element("info");
      capture::SetInfoAttributes(info, record, caller, picture.filepath,
                                 capture::InfoColumns::kReadExif);
      doc.Write(info);
      ++written;
    });
  }
  doc.End();
  capture::WriteHandOver(app_path, Operno, std::move(bytes), written);
}

}  // namespace

namespace capture::methods {

void ReadEXIF(const std::string& TempPath1, const std::string& AppPath1,
              const std::string& Busitype, const std::string& ClassCode, const std::string& Orgid,
              const std::string& Busiorgid, const std::string& Operno, const std::string& Opername,
              const std::string& BusiTime, const std::string& Systemid,
              const std::string& BusiProcess, const std::string& IP) {
  if (capture::Accepted({{"TempPath1", &TempPath1},
                         {"AppPath1", &AppPath1},
                         {"Busitype", &Busitype},
                         {"ClassCode", &ClassCode},
                         {"Orgid", &Orgid},
                         {"Busiorgid", &Busiorgid},
                         {"Operno", &Operno},
                         {"Opername", &Opername},
                         {"BusiTime", &BusiTime},
                         {"Systemid", &Systemid},
                         {"BusiProcess", &BusiProcess},
                         {"IP", &IP}}))
    Run(TempPath1, AppPath1, Busitype, ClassCode, Orgid, Busiorgid, Operno, Opername, BusiTime,
        Systemid, BusiProcess, IP);
}

}  // namespace capture::methods

void clsmain::ReadEXIF(std::string TempPath1, std::string AppPath1, std::string Busitype,
                       std::string ClassCode, std::string Orgid, std::string Busiorgid,
                       std::string Operno, std::string Opername, std::string BusiTime,
                       std::string Systemid, std::string BusiProcess, std::string IP) {
  capture::Method("ReadEXIF", [&] {
    capture::methods::ReadEXIF(TempPath1, AppPath1, Busitype, ClassCode, Orgid, Busiorgid, Operno,
                               Opername, BusiTime, Systemid, BusiProcess, IP);
  });
}

}  // namespace picmeta
