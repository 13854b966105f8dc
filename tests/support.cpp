#include "tests/support.h"

#ifdef _WIN32
#include <io.h>
#include <time.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/os/clock.h"
#include "platform/os/text.h"
#include "platform/xml/document.h"
#include "scramble/encrypt.h"

namespace fs = std::filesystem;

namespace {
#ifdef _WIN32
int Dup(int fd) { return ::_dup(fd); }
int Dup2(int from, int to) { return ::_dup2(from, to); }
int FileNo(std::FILE* f) { return ::_fileno(f); }
int Close(int fd) { return ::_close(fd); }
void TzSet() { ::_tzset(); }
#else
int Dup(int fd) { return ::dup(fd); }
int Dup2(int from, int to) { return ::dup2(from, to); }
int FileNo(std::FILE* f) { return ::fileno(f); }
int Close(int fd) { return ::close(fd); }
void TzSet() { ::tzset(); }
#endif
}  // namespace

namespace picmeta::test {

fs::path P(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

std::string U8(const fs::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

namespace {
// A new folder of a random name under base, never one that exists.
std::string NewFolder(const fs::path& base, const char* prefix) {
  static std::mt19937_64 random{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%016llx", prefix,
                  static_cast<unsigned long long>(random()));
    std::error_code ec;
    if (fs::create_directory(base / name, ec) && !ec) return U8(base / name);
  }
  throw std::runtime_error("cannot create a temporary folder");
}
}  // namespace

TempDir::TempDir() : path_(NewFolder(fs::temp_directory_path(), "picmeta-test-")) {}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests make files read-only; give write back so removal works as non-root.
  for (auto it = fs::recursive_directory_iterator(P(path_), ec); it != fs::end(it);
       it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(P(path_), ec);
}

void Write(const std::string& path, const std::string& bytes) {
  fs::create_directories(P(path).parent_path());
  std::ofstream out(P(path), std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string Read(const std::string& path) {
  std::ifstream in(P(path), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) { return fs::exists(P(path)); }

std::vector<std::string> List(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(P(folder), ec)) {
    std::string name = U8(e.path().filename());
    if (name != kFolderLockFile) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

void SetModified(const std::string& path, std::time_t when) {
  const auto at = fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(when));
  std::error_code ec;
  fs::last_write_time(P(path), at, ec);
  if (ec) throw std::runtime_error("cannot set the time of " + path);
}

void SetEnv(const char* name, const std::optional<std::string>& value) {
#ifdef _WIN32
  ::_putenv_s(name, value ? value->c_str() : "");
#else
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
#endif
}

namespace {
std::string Convert(const std::string& in, const char* to, const char* from) {
  auto out = platform::ConvertText(in, to, from);
  if (!out) throw std::runtime_error(std::string("cannot convert from ") + from + " to " + to);
  return *out;
}
}  // namespace

std::string Gbk(const std::string& utf8) { return Convert(utf8, "GBK", "UTF-8"); }
std::string FromGbk(const std::string& gbk) { return Convert(gbk, "UTF-8", "GBK"); }

CaptureOutput::CaptureOutput() {
  std::fflush(stdout);
  std::fflush(stderr);
  file_ = NewFolder(fs::temp_directory_path(), "picmeta-capture-") + "/out";
  std::FILE* f = std::fopen(P(file_).string().c_str(), "wb");
  if (!f) throw std::runtime_error("cannot create " + file_);
  saved_out_ = Dup(1);
  saved_err_ = Dup(2);
  Dup2(FileNo(f), 1);
  Dup2(FileNo(f), 2);
  std::fclose(f);
}

std::string CaptureOutput::Finish() {
  if (done_) return {};
  done_ = true;
  std::fflush(stdout);
  std::fflush(stderr);
  Dup2(saved_out_, 1);
  Dup2(saved_err_, 2);
  Close(saved_out_);
  Close(saved_err_);
  std::string text = Read(file_);
  std::error_code ec;
  fs::remove_all(P(file_).parent_path(), ec);
  return text;
}

CaptureOutput::~CaptureOutput() { Finish(); }

platform::FolderLock Locked(const platform::Path& folder, int timeout_ms) {
  auto lock = platform::FolderLock::Take(folder, timeout_ms);
  if (!lock)
    throw std::runtime_error("cannot lock " + folder.Native() + ": " +
                             platform::Describe(lock.status()));
  return std::move(*lock);
}

std::string RealPicture(const std::string& name) {
  return std::string(PICMETA_REAL_PICTURES) + "/" + name;
}

bool HaveRealPictures() { return fs::exists(RealPicture("test1.jpg")); }

bool RealPicturesRequired() {
  const char* v = std::getenv("PICMETA_REQUIRE_PICTURES");
  return v && std::string(v) == "1";
}

FixedClock::FixedClock() {
  if (const char* tz = std::getenv("TZ")) saved_tz_ = tz;
  SetEnv("TZ", "CST-8");
  TzSet();
  Set(kInstant);
}

FixedClock::~FixedClock() {
  platform::FixClockForTesting(std::nullopt);
  SetEnv("TZ", saved_tz_);
  TzSet();
}

void FixedClock::Set(long instant) { platform::FixClockForTesting(instant); }

FaultGuard::FaultGuard(platform::FaultInjector injector) {
  platform::SetFaultInjector(std::move(injector));
}
FaultGuard::~FaultGuard() { platform::SetFaultInjector(nullptr); }

std::optional<std::vector<Attributes>> Records(const std::string& path, bool scrambled,
                                               const char* query) {
  std::string bytes = Read(path);
  if (scrambled) encrypt::Unscramble(bytes);
  platform::XmlDocument doc;
  if (!doc.LoadXML(bytes)) return std::nullopt;
  std::vector<Attributes> out;
  for (const auto& info : doc.SelectNodes(query)) out.push_back(info.Attributes());
  return out;
}

std::vector<std::string> RecordNames(const std::string& path, bool scrambled, const char* query) {
  const auto records = Records(path, scrambled, query);
  if (!records) return {"<does not load>"};
  std::vector<std::string> names;
  for (const Attributes& record : *records) names.push_back(Value(record, "Filename"));
  return names;
}

std::multiset<std::string> RecordNameSet(const std::string& path, bool scrambled,
                                         const char* query) {
  const auto names = RecordNames(path, scrambled, query);
  return {names.begin(), names.end()};
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(P(folder))) files.push_back(U8(e.path()));
  std::sort(files.begin(), files.end());
  return files;
}

bool HasTemporary(const std::string& folder) {
  for (const auto& f : FilesIn(folder))
    if (platform::IsTemporaryName(U8(fs::path(P(f)).filename()))) return true;
  return false;
}

std::string Value(const Attributes& attributes, std::string_view name) {
  for (const auto& [n, v] : attributes)
    if (n == name) return v;
  return {};
}

std::vector<std::string> HandOvers(const std::string& folder) {
  std::vector<std::string> out;
  for (const auto& name : List(folder))
    if (name.rfind("exif_", 0) == 0) out.push_back(name);
  return out;
}

}  // namespace picmeta::test
