#include "records/workspace.h"

#include <algorithm>

#include "platform/xml/document.h"

namespace picmeta::records::workspace {
namespace {

// The queries issued on the workspace files.
// "busiinfoprocess.xml"
constexpr std::string_view kBusinoQuery = "/busiinfoprocess/busino";
constexpr std::string_view kFirstRecordQuery = "/busiinfoprocess/busiinforecord";
constexpr std::string_view kClassCodeAttributeQuery = "attribute[@name='classcode']";
// The levels of the case tree, by element name.
constexpr std::string_view kRecord = "busiinforecord";
constexpr std::string_view kSubclass = "subcalsscodeinforecord";
constexpr std::string_view kDocType = "doctypeinforecord";
// "resourceprocess.xml" and "documentfilesource.xml"
constexpr std::string_view kFilenameQuery = "documentinfo/filename";
// "kelexplorersource.xml"
constexpr std::string_view kFolderQuery = "kelexplorerinfo/folder";
constexpr std::string_view kBusiIndexQuery = "busiindex";
constexpr std::string_view kComponentQuery = "component";
constexpr std::string_view kFileQuery = "kelexplorerinfo/file";

// The attributes the library reads of the workspace files; a workspace file
// is loaded keeping only these (its elements and text whole), so that a
// large file of other attributes costs no tree of them.
const std::vector<std::string_view> kReadAttributes = {
    "classcode", "foldername", "resourcemainindex", "name", "value", "relativepath", "processflag"};

LoadResult Load(platform::XmlDocument& doc, const platform::Path& path) {
  return doc.LoadKeeping(path, kReadAttributes);
}

// The records below an element, by what the element is: the case's records,
// a record's subclasses, a subclass's or document type's document types.
std::string_view RecordsBelow(const std::string& element) {
  if (element == "busiinfoprocess") return kRecord;
  if (element == kRecord) return kSubclass;
  if (element == kSubclass || element == kDocType) return kDocType;
  return {};
}

// Every element of the tree is looked at, so its levels are walked as
// children, not queried: Children(a) selects what the query "a" does.
void ReadRecord(const platform::XmlNode& element, CaseRecord& record) {
  record.folder = element.GetAttribute("foldername").value_or("");
  // The documents: "documentinfo/relationship/resourcemainindex", step by
  // step (nested in order, so in document order).
  for (const auto& info : element.Children("documentinfo"))
    for (const auto& relationship : info.Children("relationship"))
      for (const auto& document : relationship.Children("resourcemainindex"))
        record.documents.push_back(document.GetAttribute("resourcemainindex").value_or(""));
  // (The parser bounds the depth of a document, and with it this recursion.)
  if (const auto name = RecordsBelow(element.Name()); !name.empty()) {
    for (const auto& child : element.Children(name))
      ReadRecord(child, record.records.emplace_back());
  }
}

}  // namespace

Case ReadCase(const platform::Path& path) {
  Case c;
  platform::XmlDocument doc;
  c.result = Load(doc, path);
  if (!c.result) return c;
  if (const auto busino = doc.SelectSingleNode(kBusinoQuery)) c.claim_number = busino.Text();
  const auto root = doc.DocumentElement();
  c.is_case = root.Name() == "busiinfoprocess";
  ReadRecord(root, c.root);
  if (const auto first = doc.SelectSingleNode(kFirstRecordQuery)) {
    c.class_code = first.GetAttribute("classcode");
    c.class_code_value = first.SelectSingleNode(kClassCodeAttributeQuery).GetAttribute("value");
  }
  return c;
}

FolderIndex ReadFolderIndex(const platform::Path& path, const std::string& folder_name) {
  FolderIndex index;
  platform::XmlDocument doc;
  index.result = Load(doc, path);
  if (!index.result) return index;
  for (const auto& folder : doc.SelectNodes(kFolderQuery)) {
    if (folder.GetAttribute("name") != folder_name) continue;
    for (const auto& component :
         folder.SelectSingleNode(kBusiIndexQuery).SelectNodes(kComponentQuery))
      index.components.emplace_back(component.GetAttribute("name"),
                                    component.GetAttribute("value"));
    break;
  }
  return index;
}

FileListing ReadFileListing(const platform::Path& path) {
  FileListing listing;
  platform::XmlDocument doc;
  listing.result = Load(doc, path);
  if (!listing.result) return listing;
  for (const auto& file : doc.SelectNodes(kFileQuery))
    listing.files.push_back({file.GetAttribute("name"), file.GetAttribute("processflag")});
  return listing;
}

std::optional<std::string> ReadRelativePath(const platform::Path& W, LoadResult& result) {
  platform::XmlDocument doc;
  result = Load(doc, W / kDocumentSourceFile);
  if (!result) return std::nullopt;
  const auto filename = doc.SelectSingleNode(kFilenameQuery);
  if (!filename) return std::string();
  std::string relative = filename.GetAttribute("relativepath").value_or("");
  std::replace(relative.begin(), relative.end(), '/', '\\');
  return relative;
}

ResourceNames::ResourceNames(const platform::Path& folder) {
  platform::XmlDocument doc;
  result_ = Load(doc, folder / kResourceFile);
  if (!result_) return;
  for (const auto& filename : doc.SelectNodes(kFilenameQuery)) {
    auto index = filename.GetAttribute("resourcemainindex");
    if (!index) continue;  // an element without the key matches nothing
    names_.try_emplace(std::move(*index), filename.GetAttribute("name"));
  }
}

std::string ResourceNames::Lookup(const std::string& index) const {
  const auto it = names_.find(index);
  return it == names_.end() ? std::string() : it->second.value_or("");
}

bool ResourceNames::Known(const std::string& index) const {
  const auto it = names_.find(index);
  return it != names_.end() && it->second.has_value();
}

}  // namespace picmeta::records::workspace
