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

// ReadPicInfo, with what it found, for the methods that act on it.
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

}  // namespace picmeta::Public_Function

#endif
