#ifndef PICMETA_RECORDS_WORKSPACE_H
#define PICMETA_RECORDS_WORKSPACE_H

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/xml/document.h"

// The host's workspace files as the library reads them (it never writes
// them): file names and the exact queries issued on them.
namespace picmeta::records::workspace {

inline constexpr std::string_view kBusiInfoFile = "busiinfoprocess.xml";
inline constexpr std::string_view kResourceFile = "resourceprocess.xml";
inline constexpr std::string_view kDocumentSourceFile = "documentfilesource.xml";
inline constexpr std::string_view kExplorerFile = "kelexplorersource.xml";

// "busiinfoprocess.xml"
inline constexpr std::string_view kBusinoQuery = "/busiinfoprocess/busino";
inline constexpr std::string_view kFirstRecordQuery = "/busiinfoprocess/busiinforecord";
inline constexpr std::string_view kClassCodeAttributeQuery = "attribute[@name='classcode']";
inline constexpr std::string_view kSubclassQuery = "subcalsscodeinforecord";
// ReadEXIF issues this query with a trailing blank and CopyExifInfo's folder
// walk without it; XPath ignores blanks between tokens, so both select the same
// elements. Both are kept as issued, so that each method's queries stand as
// they are documented.
inline constexpr std::string_view kDocTypeQueryReadExif = "doctypeinforecord ";
inline constexpr std::string_view kDocTypeQuery = "doctypeinforecord";
inline constexpr std::string_view kRecordQuery = "busiinforecord";
inline constexpr std::string_view kDocumentsQuery = "documentinfo/relationship/resourcemainindex";
// "resourceprocess.xml" and "documentfilesource.xml"
inline constexpr std::string_view kFilenameQuery = "documentinfo/filename";
// "kelexplorersource.xml"
inline constexpr std::string_view kFolderQuery = "kelexplorerinfo/folder";
inline constexpr std::string_view kBusiIndexQuery = "busiindex";
inline constexpr std::string_view kComponentQuery = "component";
inline constexpr std::string_view kFileQuery = "kelexplorerinfo/file";

// The attributes the library reads of the workspace files; a workspace file
// is loaded keeping only these (its elements and text whole), so that a
// large file of other attributes costs no tree of them.
inline const std::vector<std::string_view> kReadAttributes = {
    "classcode", "foldername", "resourcemainindex", "name", "value", "relativepath", "processflag"};

// Loads a workspace file (missing, unreadable or ill-formed: not loaded).
platform::LoadResult Load(platform::XmlDocument& doc, const platform::Path& path);

// The case folder of "documentfilesource.xml" in workspace W, relative to W,
// with "\" separators: nullopt when the file does not load, "" when it names
// none. `result` tells how the file loaded.
std::optional<std::string> ReadRelativePath(const platform::Path& W, platform::LoadResult& result);

// Names of "resourceprocess.xml" by resource index, loaded once and indexed:
// the first element of an index wins, as a scan in document order would find.
class ResourceNames {
 public:
  explicit ResourceNames(const platform::Path& folder);
  // "" when the file did not load, the index is unknown, or its element has
  // no name.
  std::string Lookup(const std::string& index) const;
  // Whether an element of that index carries a name.
  bool Known(const std::string& index) const;
  const platform::LoadResult& result() const { return result_; }

 private:
  std::unordered_map<std::string, std::optional<std::string>> names_;
  platform::LoadResult result_;
};

}  // namespace picmeta::records::workspace

#endif
