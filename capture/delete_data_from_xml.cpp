#include "capture/guarded.h"
#include "picmeta/clsmain.h"
#include "platform/text.h"
#include "records/record_document.h"

namespace picmeta {

void clsmain::DeleteDatafromXML(std::string LastPath1, std::string pic_name) {
  using capture::Step;
  Step([&] {
    const std::string folder = platform::BackslashPath(LastPath1);
    records::WorkingFile file(folder);
    if (!file.loaded()) return;  // missing or unreadable: the folder stays as it was
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
    Step([&] { file.Save(); });
  });
}

}  // namespace picmeta
