#include "capture/gates.h"

#include "capture/diagnostics.h"
#include "capture/public_function.h"
#include "capture/reports.h"
#include "records/workspace.h"

namespace picmeta::capture {
namespace ws = records::workspace;

std::optional<std::string> RecordableCaseFolder(const platform::Path& W, clsPicinfo& record) {
  records::LoadResult loaded;
  const auto R = ws::ReadRelativePath(W, loaded);
  if (!R) {
    ReportNotLoaded(W / ws::kDocumentSourceFile, loaded);
    return std::nullopt;
  }
  if (R->empty()) {
    Emit(PICMETA_EVENT_GATE_STOPPED, (W / ws::kDocumentSourceFile).Native(),
         "documentfilesource.xml names no case folder");
    return std::nullopt;
  }
  Public_Function::ReadBusiIndex(W, *R, record);
  if (record.Busitype() != "2") {
    Emit(PICMETA_EVENT_GATE_STOPPED, "",
         "business type '" + record.Busitype() + "' of case folder " +
             platform::Path::FromText(*R).Native() + " is not 2");
    return std::nullopt;
  }
  if (record.ClassCode() != "11020000") {
    Emit(PICMETA_EVENT_GATE_STOPPED, "",
         "class code '" + record.ClassCode() + "' of case folder " +
             platform::Path::FromText(*R).Native() + " is not 11020000");
    return std::nullopt;
  }
  return R;
}

platform::Path FolderParameter(const std::string& text) {
  return platform::Absolute(platform::Path::FromText(text));
}

}  // namespace picmeta::capture
