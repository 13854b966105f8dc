#ifndef PICMETA_PLATFORM_OS_PATH_H
#define PICMETA_PLATFORM_OS_PATH_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// A path as the library holds it: a root (none for a relative path) and a list
// of names. A name is one component as the file system stores it and is never
// split again, so that a "\" or "/" inside a name read from a folder listing
// cannot make it point elsewhere. The system's spelling is made only where a
// system call needs it (Native).
namespace picmeta::platform {

class Path {
 public:
  Path() = default;  // the empty relative path: the current folder

  // A folder parameter or a path of the host's workspace files: "/" and "\"
  // both separate names; empty and "." names are dropped. The system decides
  // what a root is ("/" on POSIX; "C:\", "\\server\share\" on Windows).
  static Path FromText(std::string_view text);
  // A path in the system's own spelling (the current folder, what the
  // system answers): split at the system's separators only.
  static Path FromNative(std::string_view native);

  // This path and one more name, taken whole.
  Path operator/(std::string_view name) const;
  Path& operator/=(std::string_view name);
  // This path and the names of a relative one.
  Path Join(const Path& relative) const;
  // The folder holding the last name (a root stays a root).
  Path Parent() const;

  // The last name; "" for a root or the empty path.
  const std::string& Name() const;
  const std::vector<std::string>& names() const { return names_; }
  bool IsAbsolute() const;
  bool empty() const { return root_.empty() && names_.empty(); }

  // The system's spelling: "." for the empty path.
  std::string Native() const;

  bool operator==(const Path&) const = default;

 private:
  std::string root_;  // native, with its separator: "/", "C:\", "\\server\share\", or ""
  std::vector<std::string> names_;
};

// The absolute form of a path, taken once where a call begins: a relative
// path is read from the process's current folder (on Windows as the system
// reads names: ".." by name, trailing dots and blanks dropped). A path that
// cannot be made absolute comes back as it was.
Path Absolute(const Path& path);

struct PathHash {
  std::size_t operator()(const Path& path) const;
};

}  // namespace picmeta::platform

#endif
