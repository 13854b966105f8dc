#include "tests/support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/clock.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace picmeta::test {

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "picmeta-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests make files read-only; give write back so removal works as non-root.
  for (auto it = fs::recursive_directory_iterator(path_, ec); it != fs::end(it); it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

void Write(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) { return fs::exists(path); }

std::vector<std::string> List(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
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
  char name[] = "/tmp/picmeta-capture-XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp");
  file_ = name;
  saved_out_ = ::dup(1);
  saved_err_ = ::dup(2);
  ::dup2(fd, 1);
  ::dup2(fd, 2);
  ::close(fd);
}

std::string CaptureOutput::Finish() {
  if (done_) return {};
  done_ = true;
  std::fflush(stdout);
  std::fflush(stderr);
  ::dup2(saved_out_, 1);
  ::dup2(saved_err_, 2);
  ::close(saved_out_);
  ::close(saved_err_);
  std::string text = Read(file_);
  ::unlink(file_.c_str());
  return text;
}

CaptureOutput::~CaptureOutput() { Finish(); }

std::string SharedPicture(const std::string& name) {
  return std::string(PICMETA_SHARED_PICTURES) + "/" + name;
}

bool HaveSharedPictures() { return fs::exists(SharedPicture("test1.jpg")); }

FixedClock::FixedClock() {
  if (const char* tz = std::getenv("TZ")) saved_tz_ = tz;
  ::setenv("TZ", "CST-8", 1);
  ::tzset();
  Set(kInstant);
}

FixedClock::~FixedClock() {
  platform::FixClockForTesting(std::nullopt);
  if (saved_tz_) {
    ::setenv("TZ", saved_tz_->c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

void FixedClock::Set(long instant) { platform::FixClockForTesting(instant); }

}  // namespace picmeta::test
