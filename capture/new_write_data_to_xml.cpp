#include "capture/diagnostics.h"
#include "capture/gates.h"
#include "capture/guarded.h"
#include "capture/info_attributes.h"
#include "capture/methods.h"
#include "capture/public_function.h"
#include "capture/reports.h"
#include "capture/working_files.h"
#include "picmeta/clsmain.h"
#include "platform/os/fs.h"
#include "platform/os/text.h"
#include "records/formats.h"
#include "records/record_document.h"

namespace picmeta {
namespace {

using capture::Step;

// The picture's first record takes the new values (an attribute it has keeps
// its place); a picture without a record gets a new one at the end.
class Refresh : public records::RecordEditor {
 public:
  Refresh(std::string key, records::Record values)
      : key_(std::move(key)), values_(std::move(values)) {}
  void Begin() override { found_ = false; }
  bool Record(records::Record& record) override {
    if (found_) return true;
    const std::string* name = record.GetAttribute("Filename");
    if (name && *name == key_) {
      found_ = true;
      for (const auto& [attribute, value] : values_.attributes)
        record.SetAttribute(attribute, value);
    }
    return true;
  }
  void End(const Add& add) override {
    if (!found_) add(values_);
  }

 private:
  std::string key_;
  records::Record values_;
  bool found_ = false;
};

void Run(const std::string& AppPath1, const std::string& strFilePath, const std::string& Orgid,
         const std::string& Busiorgid, const std::string& Operno, const std::string& Opername,
         const std::string& BusiTime) {
  const platform::Path W = capture::FolderParameter(AppPath1);
  const platform::Path file = capture::FolderParameter(strFilePath);
  clsPicinfo record;
  if (!capture::RecordableCaseFolder(W, record)) return;
  platform::FileInfo picture;
  if (const platform::Status st = platform::StatFile(file, picture); !st.ok()) {
    capture::Emit(PICMETA_EVENT_PICTURE_MISSING, file.Native(),
                  "picture " + file.Name() + ": " + platform::Describe(st) + ", nothing written",
                  -1, st.error.value());
    return;
  }

  // Two pictures whose names could not be stored exactly would share a record.
  if (!records::StorableName(records::TrimBlanks(picture.name))) {
    capture::ReportNameNotStorable(file, "no working record written");
    return;
  }
  capture::SplitOrgid(Orgid, record);
  // The picture is read before the folder is locked: a slow picture never
  // keeps another writer of the folder out.
  const auto read = Public_Function::ReadPicture(file, record);
  if (read.kind == Public_Function::PictureRead::Kind::kNotRead) {
    capture::ReportNotRead(file, read, "no record written; a later call records it");
    return;
  }
  if (read.kind == Public_Function::PictureRead::Kind::kMissing) return;  // gone meanwhile: told
  auto opened = capture::OpenWorkingFile(file.Parent(), W);
  auto values = records::Record::Element("info");
  capture::SetInfoAttributes(values, record,
                             {Busiorgid, Operno, Opername, BusiTime, {}, {}, {}, {}}, "",
                             capture::InfoColumns::kNewWrite);
  // The record holds the name as stored, so it is looked up so.
  Refresh refresh(records::StoredForm(picture.name), std::move(values));
  capture::RewriteWorkingFile(*opened, refresh, records::WorkingFile::IfNotLoaded::kStartEmpty);
}

}  // namespace

namespace capture::methods {

void NewWriteDatatoXML(const std::string& AppPath1, const std::string& strFilePath,
                       const std::string& Orgid, const std::string& Busiorgid,
                       const std::string& Operno, const std::string& Opername,
                       const std::string& BusiTime) {
  if (capture::Accepted({{"AppPath1", &AppPath1},
                         {"strFilePath", &strFilePath},
                         {"Orgid", &Orgid},
                         {"Busiorgid", &Busiorgid},
                         {"Operno", &Operno},
                         {"Opername", &Opername},
                         {"BusiTime", &BusiTime}}))
    Run(AppPath1, strFilePath, Orgid, Busiorgid, Operno, Opername, BusiTime);
}

}  // namespace capture::methods

void clsmain::NewWriteDatatoXML(std::string AppPath1, std::string strFilePath, std::string Orgid,
                                std::string Busiorgid, std::string Operno, std::string Opername,
                                std::string BusiTime) {
  capture::Method("NewWriteDatatoXML", [&] {
    capture::methods::NewWriteDatatoXML(AppPath1, strFilePath, Orgid, Busiorgid, Operno, Opername,
                                        BusiTime);
  });
}

}  // namespace picmeta
