#include "capture/diagnostics.h"
#include "capture/gates.h"
#include "capture/guarded.h"
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

// Drops the picture's first record.
class DropFirst : public records::RecordEditor {
 public:
  DropFirst(std::string key, bool any) : key_(std::move(key)), any_(any) {}
  void Begin() override { found_ = !any_; }
  bool Record(records::Record& record) override {
    if (found_) return true;
    const std::string* name = record.GetAttribute("Filename");
    found_ = name && *name == key_;
    return !found_;
  }

 private:
  std::string key_;
  bool any_;  // false: no record can match
  bool found_ = false;
};

}  // namespace

namespace ws = records::workspace;

namespace capture::methods {

void DeleteDatafromXML(const std::string& LastPath1, const std::string& pic_name) {
  if (!capture::Accepted({{"LastPath1", &LastPath1}, {"pic_name", &pic_name}})) return;
  const platform::Path folder = capture::FolderParameter(LastPath1);
  // Its caller names no case folder: claims of calls that died here wait
  // for the CopyExifInfo of their case.
  auto opened = capture::OpenWorkingFile(folder, std::nullopt);
  records::WorkingFile& file = *opened;
  // As the name was recorded; a name that cannot be stored exactly has no
  // record (another picture's, whose name it would collapse into, stays).
  const std::string key = records::TrimBlanks(pic_name);
  const bool storable = records::StorableName(key);
  if (!storable) capture::ReportNameNotStorable(folder / key, "it has no record; nothing removed");
  DropFirst drop(storable ? key : std::string(), storable);
  // A missing or unreadable file: the folder stays as it was.
  const auto outcome =
      capture::RewriteWorkingFile(file, drop, records::WorkingFile::IfNotLoaded::kLeave);
  if (!outcome.saved && capture::Logging())
    capture::Emit(PICMETA_EVENT_WORKING_FILE_NOT_LOADED, file.path().Native(),
                  "working file " + file.path().Native() + ": " + records::Describe(file.result()) +
                      ", nothing changed");
}

}  // namespace capture::methods

void clsmain::DeleteDatafromXML(std::string LastPath1, std::string pic_name) {
  capture::Method("DeleteDatafromXML",
                  [&] { capture::methods::DeleteDatafromXML(LastPath1, pic_name); });
}

}  // namespace picmeta
