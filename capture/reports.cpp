#include "capture/reports.h"

#include "capture/diagnostics.h"

namespace picmeta::capture {

void ReportNameNotStorable(const platform::Path& picture, const std::string& consequence) {
  Emit(PICMETA_EVENT_NAME_NOT_STORABLE, picture.Native(),
       "picture " + records::Shown(picture.Name()) +
           ": its name cannot be stored exactly in a record (bytes that are not UTF-8 "
           "or characters XML cannot carry): " +
           consequence);
}

void ReportNotRead(const platform::Path& picture, const Public_Function::PictureRead& read,
                   const std::string& consequence) {
  Emit(PICMETA_EVENT_PICTURE_NOT_READ, picture.Native(),
       "picture " + records::Shown(picture.Name()) + " could not be read (" + read.error +
           "): " + consequence,
       -1, read.os_error);
}

void ReportNotLoaded(const platform::Path& path, const records::LoadResult& result) {
  if (!Logging()) return;
  Emit(PICMETA_EVENT_WORKSPACE_FILE_NOT_LOADED, path.Native(),
       path.Name() + ": " + records::Describe(result), -1, result.error.value());
}

void ReportFsFailure(int code, const platform::Path& path, const records::Failure& e) {
  if (!Logging()) return;
  const int c =
      e.status().code == platform::FileStatus::kLockTimeout ? PICMETA_EVENT_LOCK_TIMEOUT : code;
  Emit(c, path.Native(), e.what(), -1, e.error());
}

void ReportLeftovers(const std::vector<records::Leftover>& leftovers) {
  using Kind = records::Leftover::Kind;
  for (const auto& l : leftovers) {
    const std::string where = l.path.Native();
    switch (l.kind) {
      case Kind::kSettled:
        Emit(PICMETA_EVENT_HANDOVER_RECOVERED, where,
             l.committed ? "records of folder " + where +
                               " that a call which ended had handed over were removed"
                         : "records of folder " + where +
                               " that a call which ended had taken were given back");
        break;
      case Kind::kIgnored:
        Emit(PICMETA_EVENT_HIDDEN_FILE_IGNORED, where,
             "hidden file " + records::Shown(where) + ": " + l.why + "; left where it is");
        break;
      case Kind::kWaiting:
        Emit(PICMETA_EVENT_CLAIM_WAITING, where,
             records::Shown(where) + " waits for a call that can decide: " + l.why);
        break;
    }
  }
}

}  // namespace picmeta::capture
