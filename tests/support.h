#ifndef PICMETA_TESTS_SUPPORT_H
#define PICMETA_TESTS_SUPPORT_H

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

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

// A UTF-8 path for std::filesystem and the streams (on Windows a plain
// std::string would be taken in the ANSI code page).
std::filesystem::path P(const std::string& utf8);
std::string U8(const std::filesystem::path& path);

void Write(const std::string& path, const std::string& bytes);  // creates folders
std::string Read(const std::string& path);                      // "" when missing
bool Exists(const std::string& path);
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

// A real picture from the shared folder beside the project; tests that use
// them skip when that folder is absent.
std::string SharedPicture(const std::string& name);
bool HaveSharedPictures();

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

}  // namespace picmeta::test

#endif
