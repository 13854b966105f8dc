#include "records/workspace.h"

#include "platform/os/text.h"

namespace picmeta::records::workspace {

platform::LoadResult Load(platform::XmlDocument& doc, const std::string& path) {
  return doc.LoadKeeping(path, kReadAttributes);
}

std::string Join(std::string_view folder, std::string_view name) {
  std::string path(folder);
  path += '\\';
  path += name;
  return path;
}

std::optional<std::string> ReadRelativePath(const std::string& W, platform::LoadResult& result) {
  platform::XmlDocument doc;
  result = Load(doc, Join(W, kDocumentSourceFile));
  if (!result) return std::nullopt;
  const auto filename = doc.SelectSingleNode(kFilenameQuery);
  if (!filename) return std::string();
  return platform::BackslashPath(filename.GetAttribute("relativepath").value_or(""));
}

ResourceNames::ResourceNames(const std::string& folder) {
  platform::XmlDocument doc;
  result_ = Load(doc, Join(folder, kResourceFile));
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
