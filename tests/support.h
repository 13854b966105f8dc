#ifndef PICMETA_TESTS_SUPPORT_H
#define PICMETA_TESTS_SUPPORT_H

#include <ctime>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/os/fs.h"
#include "platform/os/path.h"

namespace picmeta::test {

// A fresh folder under the system's temporary folder, removed with its content.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + relative, with folders created as needed for `Write`.
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// A test's path (the system's spelling) as the library holds paths.
inline platform::Path At(const std::string& native) { return platform::Path::FromNative(native); }
// How the library tells a path written with "/" in events and messages.
inline std::string Shown(const std::string& text) {
  return platform::Path::FromText(text).Native();
}

// A UTF-8 path for std::filesystem and the streams (on Windows a plain
// std::string would be taken in the ANSI code page).
std::filesystem::path P(const std::string& utf8);
std::string U8(const std::filesystem::path& path);

void Write(const std::string& path, const std::string& bytes);  // creates folders
std::string Read(const std::string& path);                      // "" when missing
bool Exists(const std::string& path);
// The file a folder's lock is held on, where the system keeps one (Windows):
// it stays in every folder the library locked, and List leaves it out.
inline constexpr const char* kFolderLockFile = ".picmeta.lock";
std::vector<std::string> List(const std::string& folder);  // sorted names
// Sets a file's modification (and access) time.
void SetModified(const std::string& path, std::time_t when);
// Sets or (nullopt) removes an environment variable.
void SetEnv(const char* name, const std::optional<std::string>& value);

// Encodes UTF-8 text as GBK (for workspace files written by the host).
std::string Gbk(const std::string& utf8);
std::string FromGbk(const std::string& gbk);

// Collects what the process writes to stdout and stderr while alive.
class CaptureOutput {
 public:
  CaptureOutput();
  ~CaptureOutput();
  std::string Finish();  // restores the streams, returns what was written

 private:
  int saved_out_ = -1, saved_err_ = -1;
  std::string file_;
  bool done_ = false;
};

// The folder's lock, taken as the library takes it; a test that cannot have
// it fails there.
platform::FolderLock Locked(const platform::Path& folder, int timeout_ms = -1);

// A real picture of those scripts/fetch-pictures.sh puts in the build
// folder. A test that uses them starts with PICMETA_NEED_REAL_PICTURES():
// without them it skips, saying why, or fails where
// PICMETA_REQUIRE_PICTURES=1 (as in CI).
std::string RealPicture(const std::string& name);
bool HaveRealPictures();
bool RealPicturesRequired();
inline constexpr const char* kNoRealPictures =
    "the real pictures were not fetched (scripts/fetch-pictures.sh BUILD: npm pack exif@0.6.0)";
#define PICMETA_NEED_REAL_PICTURES()                                                           \
  do {                                                                                         \
    if (!::picmeta::test::HaveRealPictures()) {                                                \
      if (::picmeta::test::RealPicturesRequired()) FAIL() << ::picmeta::test::kNoRealPictures; \
      GTEST_SKIP() << ::picmeta::test::kNoRealPictures;                                        \
    }                                                                                          \
  } while (0)

// Local time is Beijing's and the clock stands at 2011-08-11 14:30:05 while
// the object lives; hand-over files are then "exif_<operno>_20110811143005.xml".
class FixedClock {
 public:
  static constexpr long kInstant = 1313044205;
  FixedClock();
  ~FixedClock();
  FixedClock(const FixedClock&) = delete;
  FixedClock& operator=(const FixedClock&) = delete;
  void Set(long instant);

 private:
  std::optional<std::string> saved_tz_;  // restored with the clock
};

// The file service's fault injector while the object lives; none after.
class FaultGuard {
 public:
  explicit FaultGuard(platform::FaultInjector injector);
  ~FaultGuard();
  FaultGuard(const FaultGuard&) = delete;
  FaultGuard& operator=(const FaultGuard&) = delete;
};

// The records (root/info, or those `query` selects) of a working file, or of
// a scrambled hand-over file: each one's attributes in order; nullopt when the
// file does not load.
using Attributes = std::vector<std::pair<std::string, std::string>>;
std::optional<std::vector<Attributes>> Records(const std::string& path, bool scrambled = false,
                                               const char* query = "root/info");
// Their Filename values, in order; {"<does not load>"} when the file does not.
std::vector<std::string> RecordNames(const std::string& path, bool scrambled = false,
                                     const char* query = "root/info");
// The value of an attribute ("" when absent).
std::string Value(const Attributes& attributes, std::string_view name);
// The same, counted.
std::multiset<std::string> RecordNameSet(const std::string& path, bool scrambled = false,
                                         const char* query = "root/info");
// The names of the hand-over files ("exif_...") in a folder, sorted.
std::vector<std::string> HandOvers(const std::string& folder);
// The paths of the entries of a folder, sorted.
std::vector<std::string> FilesIn(const std::string& folder);
// Whether a folder holds a temporary file of the file service.
bool HasTemporary(const std::string& folder);

}  // namespace picmeta::test

#endif
