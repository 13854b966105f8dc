#include "records/workspace.h"

#include <algorithm>

namespace picmeta::records::workspace {

platform::LoadResult Load(platform::XmlDocument& doc, const platform::Path& path) {
  return doc.LoadKeeping(path, kReadAttributes);
}

std::optional<std::string> ReadRelativePath(const platform::Path& W, platform::LoadResult& result) {
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
