#ifndef PICMETA_CAPTURE_PUBLIC_FUNCTION_H
#define PICMETA_CAPTURE_PUBLIC_FUNCTION_H

#include <optional>
#include <string>
#include <vector>

#include "platform/os/fs.h"
#include "records/folder_session.h"
#include "records/picinfo.h"
#include "records/record_document.h"
#include "records/workspace.h"

// Procedures shared by the methods of clsmain.
namespace picmeta::Public_Function {

// Fills the file properties and, for a picture with Exif data, the thirteen
// tag properties of the record. A missing file leaves the record untouched; a
// picture without Exif data leaves the tag properties untouched.
void ReadPicInfo(const std::string& picture_path, clsPicinfo& record);

// What ReadPicInfo found, for the methods that act on it.
struct PictureRead {
  enum class Kind {
    kRead,     // the record holds what the picture gives
    kMissing,  // no regular file there: the record is untouched
    kNotRead,  // the picture could not be read for a reason that may pass
               // (the record holds what could be read): `error` says which
  };
  Kind kind = Kind::kRead;
  std::string error;
  int os_error = 0;
};
PictureRead ReadPicture(const platform::Path& picture, clsPicinfo& record);

// Events: a picture whose name cannot be stored; one that could not be read,
// with what became of its record.
void ReportNameNotStorable(const platform::Path& picture, const std::string& consequence);
void ReportNotRead(const platform::Path& picture, const PictureRead& read,
                   const std::string& consequence);

// The name "resourceprocess.xml" in folder gives for a resource index; "".
std::string GetResourceName(const std::string& folder, const std::string& index);

// Business type, claim number and class code of case folder R (relative to
// workspace W) from the top folder's "kelexplorersource.xml"; each property
// is set only when found.
void ReadBusiIndex(const platform::Path& W, const std::string& R, clsPicinfo& record);

// Appends, in post-order, the relative path ("\A\B\C") of every record from
// `record` down that holds documents, telling the host's folder notification about
// each.
void CollectDocumentFolders(const records::workspace::CaseRecord& record, const std::string& path,
                            std::vector<std::string>& list);

// The case folder R named by workspace W's "documentfilesource.xml", when it
// belongs to a business of type "2" with class code "11020000" (filling the
// record's business properties); nullopt otherwise.
std::optional<std::string> RecordableCaseFolder(const platform::Path& W, clsPicinfo& record);

// A folder parameter as the methods take it: "/" and "\" separate, and a
// relative one is taken from the current folder, once, as the call begins.
platform::Path FolderParameter(const std::string& text);

// Events of the methods' common failures (see picmeta/events.h).
void ReportNotLoaded(const platform::Path& path, const records::LoadResult& result);
void ReportFsFailure(int code, const platform::Path& path, const records::Failure& e);

// Events for what calls that died left: claims settled, hidden files left
// alone, claims that wait.
void ReportLeftovers(const std::vector<records::Leftover>& leftovers);

// The working file of a folder, in its session (journals of claims there are
// looked for in `case_folder`), opened; a lock timeout or a read failure is
// reported and thrown on (capture::Reported).
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

// Characters 1-7, 8-13 and 14-16 of an organisation id into the record.
void SplitOrgid(const std::string& orgid, clsPicinfo& record);

}  // namespace picmeta::Public_Function

#endif
