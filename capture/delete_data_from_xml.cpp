#include "capture/diagnostics.h"
#include "capture/guarded.h"
#include "capture/public_function.h"
#include "picmeta/clsmain.h"
#include "platform/text.h"
#include "records/record_document.h"

namespace picmeta {

void clsmain::DeleteDatafromXML(std::string LastPath1, std::string pic_name) {
  using capture::Step;
  capture::MethodScope scope("DeleteDatafromXML");
  Step([&] {
    const std::string folder = platform::BackslashPath(LastPath1);
    auto opened = Public_Function::OpenWorkingFile(folder);
    records::WorkingFile& file = *opened;
    if (!file.loaded()) {  // missing or unreadable: the folder stays as it was
      if (capture::Logging())
        capture::Emit(PICMETA_EVENT_WORKING_FILE_NOT_LOADED, file.path(),
                      "working file " + file.path() + ": " + platform::Describe(file.result()) +
                          ", nothing changed");
      return;
    }
    auto& doc = file.doc();
    const std::string key = records::StoredForm(pic_name);  // as the name was recorded
    Step([&] {
      for (const auto& info : doc.SelectNodes(records::kRecordQuery)) {
        if (info.GetAttribute("Filename") == key) {
          doc.DocumentElement().RemoveChild(info);
          break;
        }
      }
    });
    Step([&] { Public_Function::SaveWorkingFile(file); });
  });
  scope.Finish();
}

}  // namespace picmeta
