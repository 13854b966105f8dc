#ifndef PICMETA_CAPTURE_WORKING_FILES_H
#define PICMETA_CAPTURE_WORKING_FILES_H

#include <optional>
#include <string>

#include "platform/os/path.h"
#include "records/record_document.h"

// The record files as the methods meet them: each failure told once, as its
// event, and thrown on as Reported.
namespace picmeta::capture {

// The working file of a folder, in its session (journals of claims there are
// looked for in `case_folder`), opened; a lock timeout or a read failure is
// reported and thrown on.
std::optional<records::WorkingFile> OpenWorkingFile(const platform::Path& folder,
                                                    std::optional<platform::Path> case_folder);
// Streams it through the editor and saves it (records::WorkingFile::Rewrite),
// reporting a set-aside file, the save, or a failure to read or save.
records::WorkingFile::Outcome RewriteWorkingFile(records::WorkingFile& file,
                                                 records::RecordEditor& editor,
                                                 records::WorkingFile::IfNotLoaded if_not_loaded);

// Writes a hand-over file (records::WriteHandOver) of `count` records,
// reporting it or its failure; returns its path.
platform::Path WriteHandOver(const platform::Path& folder, const std::string& operno,
                             std::string document_bytes, long long count);

}  // namespace picmeta::capture

#endif
