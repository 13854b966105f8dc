#include "capture/working_files.h"

#include "capture/diagnostics.h"
#include "capture/guarded.h"
#include "capture/reports.h"
#include "records/hand_over.h"

namespace picmeta::capture {

std::optional<records::WorkingFile> OpenWorkingFile(const platform::Path& folder,
                                                    std::optional<platform::Path> case_folder) {
  std::optional<records::WorkingFile> file;
  TellingIo(PICMETA_EVENT_READ_FAILED, folder / records::kWorkingFileName,
            [&] { file.emplace(folder, std::move(case_folder)); });
  ReportLeftovers(file->TakeLeftovers());
  return file;
}

platform::Path WriteHandOver(const platform::Path& folder, const std::string& operno,
                             std::string document_bytes, long long count) {
  const records::WrittenHandOver written = TellingIo(PICMETA_EVENT_SAVE_FAILED, folder, [&] {
    return records::WriteHandOver(folder, operno, std::move(document_bytes));
  });
  if (Logging())
    Emit(PICMETA_EVENT_HANDOVER_WRITTEN, written.path.Native(),
         "hand-over file written with " + Counted(count, "record"), count);
  if (!written.synced.ok())
    Emit(PICMETA_EVENT_SAVE_FAILED, written.path.Native(),
         "hand-over file " + written.path.Native() + ": " + platform::Describe(written.synced), -1,
         written.synced.error.value());
  return written.path;
}

records::WorkingFile::Outcome RewriteWorkingFile(records::WorkingFile& file,
                                                 records::RecordEditor& editor,
                                                 records::WorkingFile::IfNotLoaded if_not_loaded) {
  records::WorkingFile::Outcome outcome;
  try {
    outcome = file.Rewrite(editor, if_not_loaded);
  } catch (const records::Failure& e) {
    switch (e.kind()) {
      case records::FailureKind::kIo: {
        const bool read = file.result().failure == records::LoadFailure::kIoError;
        ReportFsFailure(read ? PICMETA_EVENT_READ_FAILED : PICMETA_EVENT_SAVE_FAILED, file.path(),
                        e);
        throw Reported();
      }
      case records::FailureKind::kRefused:
        Emit(PICMETA_EVENT_SAVE_FAILED, file.path().Native(), e.what());
        throw Reported();
      case records::FailureKind::kFault:
        break;
    }
    throw;
  }
  ReportLeftovers(file.TakeLeftovers());  // what a second look at the folder found
  if (!Logging()) return outcome;
  if (outcome.set_aside)
    Emit(PICMETA_EVENT_WORKING_FILE_SET_ASIDE, outcome.set_aside->Native(),
         "working file " + file.path().Native() + " (" + records::Describe(file.result()) +
             ") set aside as " + outcome.set_aside->Name());
  if (!outcome.saved) return outcome;
  Emit(PICMETA_EVENT_WORKING_FILE_SAVED, file.path().Native(),
       "working file saved with " + Counted(outcome.records, "record"), outcome.records);
  if (!outcome.synced.ok())
    Emit(PICMETA_EVENT_SAVE_FAILED, file.path().Native(),
         "working file " + file.path().Native() + ": " + platform::Describe(outcome.synced), -1,
         outcome.synced.error.value());
  return outcome;
}

}  // namespace picmeta::capture
