#include "platform/os/path.h"

#include <functional>

#include "platform/os/primitives.h"

namespace picmeta::platform {
namespace {

const std::string kNoName;

// Splits text after its root into names at every character `separator` says
// is one; empty and "." names are dropped.
template <class IsSeparator>
void Split(std::string_view text, IsSeparator separator, std::vector<std::string>& names) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && !separator(text[i])) continue;
    const std::string_view name = text.substr(start, i - start);
    if (!name.empty() && name != ".") names.emplace_back(name);
    start = i + 1;
  }
}

}  // namespace

Path Path::FromText(std::string_view text) {
  Path p;
  const std::size_t used = os::SplitRoot(text, true, p.root_);
  Split(
      text.substr(used), [](char c) { return c == '/' || c == '\\'; }, p.names_);
  return p;
}

Path Path::FromNative(std::string_view native) {
  Path p;
  const std::size_t used = os::SplitRoot(native, false, p.root_);
  Split(native.substr(used), os::IsSeparator, p.names_);
  return p;
}

Path Path::operator/(std::string_view name) const {
  Path p = *this;
  p /= name;
  return p;
}

Path& Path::operator/=(std::string_view name) {
  if (!name.empty()) names_.emplace_back(name);
  return *this;
}

Path Path::Join(const Path& relative) const {
  Path p = *this;
  p.names_.insert(p.names_.end(), relative.names_.begin(), relative.names_.end());
  return p;
}

Path Path::Parent() const {
  Path p = *this;
  if (!p.names_.empty()) p.names_.pop_back();
  return p;
}

const std::string& Path::Name() const { return names_.empty() ? kNoName : names_.back(); }

bool Path::IsAbsolute() const { return os::RootIsAbsolute(root_); }

std::string Path::Native() const {
  if (empty()) return ".";
  std::string out = root_;
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (i > 0) out.push_back(os::kSeparator);
    out += names_[i];
  }
  return out;
}

Path Absolute(const Path& path) {
  std::string full;
  if (os::FullPath(path.Native(), full)) return path;
  return Path::FromNative(full);
}

std::size_t PathHash::operator()(const Path& path) const {
  return std::hash<std::string>()(path.Native());
}

}  // namespace picmeta::platform
