#include "capture/diagnostics.h"
#include "capture/guarded.h"
#include "capture/info_attributes.h"
#include "capture/public_function.h"
#include "picmeta/clsmain.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "records/record_document.h"

namespace picmeta {
namespace {

using capture::Step;

void Run(const std::string& AppPath1, const std::string& strFilePath, const std::string& Orgid,
         const std::string& Busiorgid, const std::string& Operno, const std::string& Opername,
         const std::string& BusiTime) {
  const std::string W = platform::BackslashPath(AppPath1);
  clsPicinfo record;
  if (!Public_Function::RecordableCaseFolder(W, record)) return;
  platform::FileInfo picture;
  if (const platform::Status st = platform::StatFile(strFilePath, picture); !st.ok()) {
    capture::Emit(PICMETA_EVENT_PICTURE_MISSING, strFilePath,
                  "picture " + platform::GetFileName(strFilePath) + ": " + platform::Describe(st) +
                      ", nothing written",
                  -1, st.error);
    return;
  }

  auto opened = Public_Function::OpenWorkingFile(platform::ParentFolderPath(strFilePath));
  records::WorkingFile& file = *opened;
  if (!file.loaded() && !file.StartEmpty()) return;
  auto& doc = file.doc();
  platform::XmlNode target;
  const std::string key = records::StoredForm(picture.name);  // as the name is recorded
  for (const auto& info : doc.SelectNodes(records::kRecordQuery)) {
    if (info.GetAttribute("Filename") == key) {
      target = info;
      break;
    }
  }
  if (!target) target = doc.DocumentElement().AppendChild(doc.CreateElement("info"));

  Public_Function::SplitOrgid(Orgid, record);
  Public_Function::ReadPicInfo(strFilePath, record);
  capture::SetInfoAttributes(target, record,
                             {Busiorgid, Operno, Opername, BusiTime, {}, {}, {}, {}}, "",
                             capture::InfoColumns::kNewWrite);
  Public_Function::SaveWorkingFile(file);
}

}  // namespace

void clsmain::NewWriteDatatoXML(std::string AppPath1, std::string strFilePath, std::string Orgid,
                                std::string Busiorgid, std::string Operno, std::string Opername,
                                std::string BusiTime) {
  capture::MethodScope scope("NewWriteDatatoXML");
  Step([&] { Run(AppPath1, strFilePath, Orgid, Busiorgid, Operno, Opername, BusiTime); });
  scope.Finish();
}

}  // namespace picmeta
