#ifndef PICMETA_CAPTURE_GATES_H
#define PICMETA_CAPTURE_GATES_H

#include <optional>
#include <string>

#include "platform/os/path.h"
#include "records/picinfo.h"

// What a method settles before it touches a record: its folder parameters
// and the workspace's gates.
namespace picmeta::capture {

// A folder parameter as the methods take it: "/" and "\" separate, and a
// relative one is taken from the current folder, once, as the call begins.
platform::Path FolderParameter(const std::string& text);

// The case folder R named by workspace W's "documentfilesource.xml", when it
// belongs to a business of type "2" with class code "11020000" (filling the
// record's business properties); nullopt otherwise, told.
std::optional<std::string> RecordableCaseFolder(const platform::Path& W, clsPicinfo& record);

}  // namespace picmeta::capture

#endif
