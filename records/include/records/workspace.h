#ifndef PICMETA_RECORDS_WORKSPACE_H
#define PICMETA_RECORDS_WORKSPACE_H

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/os/path.h"
#include "records/loaded.h"

// The host's workspace files as the library reads them (it never writes
// them), read into plain values: the methods walk these, never the files.
namespace picmeta::records::workspace {

inline constexpr std::string_view kBusiInfoFile = "busiinfoprocess.xml";
inline constexpr std::string_view kResourceFile = "resourceprocess.xml";
inline constexpr std::string_view kDocumentSourceFile = "documentfilesource.xml";
inline constexpr std::string_view kExplorerFile = "kelexplorersource.xml";

// A record of the case tree ("busiinforecord", "subcalsscodeinforecord",
// "doctypeinforecord"), or the document element itself.
struct CaseRecord {
  std::string folder;                  // its "foldername" ("" when absent: no level)
  std::vector<std::string> documents;  // each document's resource index ("" when absent)
  std::vector<CaseRecord> records;     // the records below it, in document order
};

// "busiinfoprocess.xml": the case.
struct Case {
  LoadResult result;                        // how the file loaded; nothing else when it did not
  std::optional<std::string> claim_number;  // the "busino" element's text
  bool is_case = false;                     // the document element is "busiinfoprocess"
  CaseRecord root;                          // the document element and the tree below it
  // The first record's "classcode" attribute, and its class code attribute
  // element's value (is_case only).
  std::optional<std::string> class_code;
  std::optional<std::string> class_code_value;
};
Case ReadCase(const platform::Path& path);

// An entry of a "kelexplorersource.xml": a folder's business index.
struct FolderIndex {
  LoadResult result;
  // The "busiindex" components of the first folder of that name, in order:
  // name and value, each absent or not.
  std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> components;
};
FolderIndex ReadFolderIndex(const platform::Path& path, const std::string& folder_name);

// The files a "kelexplorersource.xml" lists, in order.
struct ListedFile {
  std::optional<std::string> name;
  std::optional<std::string> processflag;
};
struct FileListing {
  LoadResult result;
  std::vector<ListedFile> files;
};
FileListing ReadFileListing(const platform::Path& path);

// The case folder of "documentfilesource.xml" in workspace W, relative to W,
// with "\" separators: nullopt when the file does not load, "" when it names
// none. `result` tells how the file loaded.
std::optional<std::string> ReadRelativePath(const platform::Path& W, LoadResult& result);

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
  const LoadResult& result() const { return result_; }

 private:
  std::unordered_map<std::string, std::optional<std::string>> names_;
  LoadResult result_;
};

}  // namespace picmeta::records::workspace

#endif
