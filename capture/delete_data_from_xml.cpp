#include "capture/diagnostics.h"
#include "capture/guarded.h"
#include "capture/public_function.h"
#include "picmeta/clsmain.h"
#include "platform/text.h"
#include "records/record_document.h"

namespace picmeta {
namespace {

// Drops the picture's first record.
class DropFirst : public records::RecordEditor {
 public:
  explicit DropFirst(std::string key) : key_(std::move(key)) {}
  void Begin() override { found_ = false; }
  bool Record(platform::XmlItem& record) override {
    if (found_) return true;
    const std::string* name = record.GetAttribute("Filename");
    found_ = name && *name == key_;
    return !found_;
  }

 private:
  std::string key_;
  bool found_ = false;
};

}  // namespace

void clsmain::DeleteDatafromXML(std::string LastPath1, std::string pic_name) {
  using capture::Step;
  capture::MethodScope scope("DeleteDatafromXML");
  Step([&] {
    const std::string folder = platform::BackslashPath(LastPath1);
    auto opened = Public_Function::OpenWorkingFile(folder);
    records::WorkingFile& file = *opened;
    DropFirst drop(records::StoredForm(pic_name));  // as the name was recorded
    // A missing or unreadable file: the folder stays as it was.
    const auto outcome =
        Public_Function::RewriteWorkingFile(file, drop, records::WorkingFile::IfNotLoaded::kLeave);
    if (!outcome.saved && capture::Logging())
      capture::Emit(PICMETA_EVENT_WORKING_FILE_NOT_LOADED, file.path(),
                    "working file " + platform::NativePath(file.path()) + ": " +
                        platform::Describe(file.result()) + ", nothing changed");
  });
  scope.Finish();
}

}  // namespace picmeta
