// What only Windows can show: other processes of the same test program
// (started with CreateProcessW, ended with TerminateProcess) write one folder,
// hold a record file open, or are killed mid-save; one lock serves every
// spelling of a folder; pictures are read while others hold them open.
#include <windows.h>
// (windows.h first, before anything that may include it with other settings.)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "capture/public_function.h"
#include "picmeta/clsmain.h"
#include "platform/os/fs.h"
#include "platform/xml/document.h"
#include "records/picinfo.h"
#include "tests/support.h"
#include "tools/exif_builder.h"
#include "tools/sample_case.h"

namespace picmeta {
namespace {

using test::TempDir;

std::wstring Wide(const std::string& utf8) {
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// This test program again, running one child role (a test below that skips
// unless PICMETA_CHILD names it), with its parameters in the environment.
class Child {
 public:
  Child(const std::string& role, const std::vector<std::pair<std::string, std::string>>& params) {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    for (const auto& [name, value] : params) test::SetEnv(name.c_str(), value);
    test::SetEnv("PICMETA_CHILD", role);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=Child." + Wide(role);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    const BOOL ok = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                                     CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
    test::SetEnv("PICMETA_CHILD", std::nullopt);
    for (const auto& param : params) test::SetEnv(param.first.c_str(), std::nullopt);
    if (!ok) throw std::runtime_error("cannot start a child process");
    ::CloseHandle(pi.hThread);
    process_ = pi.hProcess;
  }
  ~Child() {
    if (process_) {
      ::TerminateProcess(process_, 1);
      ::WaitForSingleObject(process_, INFINITE);
      ::CloseHandle(process_);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The exit code, once it has ended.
  DWORD Wait() {
    ::WaitForSingleObject(process_, 120000);
    DWORD code = 0;
    ::GetExitCodeProcess(process_, &code);
    return code;
  }
  void Kill() {
    ::TerminateProcess(process_, 9);
    ::WaitForSingleObject(process_, INFINITE);
  }

 private:
  HANDLE process_ = nullptr;
};

bool IsChild(const char* role) { return Env("PICMETA_CHILD") == role; }

std::multiset<std::string> Recorded(const std::string& path) { return test::RecordNameSet(path); }

void AppendLine(const std::string& log, const std::string& line) {
  // Each line reaches the system before the next call: a line written is a
  // call that returned, whenever the process is terminated.
  const HANDLE h =
      ::CreateFileW(Wide(log).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) std::exit(3);
  DWORD written = 0;
  const std::string text = line + "\n";
  ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(h);
}

// ---- Child roles --------------------------------------------------------------

// Records pictures p<first> ... in a loop (NewWriteDatatoXML, and every third
// call WriteDatatoXML), logging each call that returned.
TEST(Child, Writer) {
  if (!IsChild("Writer")) GTEST_SKIP() << "a child role";
  const std::string app = Env("PICMETA_APP"), folder = Env("PICMETA_FOLDER"),
                    log = Env("PICMETA_LOG");
  const int first = std::atoi(Env("PICMETA_FIRST").c_str());
  const int count = std::atoi(Env("PICMETA_COUNT").c_str());
  const int pictures = std::atoi(Env("PICMETA_PICTURES").c_str());
  const bool mixed = Env("PICMETA_MIXED") == "1";
  clsmain obj;
  for (int i = first; count == 0 || i < first + count; ++i) {
    if (mixed && i % 3 == 0) {
      obj.WriteDatatoXML(app, "3100000ABCDEF001", "", "1", "", "");
      AppendLine(log, "W");
      continue;
    }
    const std::string name = "p" + std::to_string(i % pictures) + ".jpg";
    obj.NewWriteDatatoXML(app, folder + "\\" + name, "3100000ABCDEF001", "", "1", "", "");
    AppendLine(log, name);
  }
}

// Holds a file open without delete sharing (as a host reading it, or a virus
// scanner, may), or with no sharing at all (PICMETA_SHARE=none, as a program
// writing it may), for PICMETA_HOLD_MS.
TEST(Child, Holder) {
  if (!IsChild("Holder")) GTEST_SKIP() << "a child role";
  const DWORD share = Env("PICMETA_SHARE") == "none" ? 0 : FILE_SHARE_READ;
  const HANDLE h = ::CreateFileW(Wide(Env("PICMETA_FILE")).c_str(), GENERIC_READ, share, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  test::Write(Env("PICMETA_READY"), "held");
  ::Sleep(static_cast<DWORD>(std::atoi(Env("PICMETA_HOLD_MS").c_str())));
  ::CloseHandle(h);
}

// Holds a folder's lock for PICMETA_HOLD_MS, or (PICMETA_TRY_MS) tries to
// take it for that long: exit code 0 when it was had, 2 when it was refused.
TEST(Child, FolderLocker) {
  if (!IsChild("FolderLocker")) GTEST_SKIP() << "a child role";
  const platform::Path folder = platform::Path::FromText(Env("PICMETA_FOLDER"));
  if (const std::string wait = Env("PICMETA_TRY_MS"); !wait.empty()) {
    if (!platform::FolderLock::Take(folder, std::atoi(wait.c_str()))) std::exit(2);
    return;
  }
  const platform::FolderLock lock = test::Locked(folder);
  test::Write(Env("PICMETA_READY"), "held");
  ::Sleep(static_cast<DWORD>(std::atoi(Env("PICMETA_HOLD_MS").c_str())));
}

void WaitFor(const std::string& path) {
  for (int i = 0; i < 3000 && !test::Exists(path); ++i) ::Sleep(10);
  ASSERT_TRUE(test::Exists(path)) << path;
}

// ---- Tests -----------------------------------------------------------------------

class WindowsCase : public ::testing::Test {
 protected:
  void SetUp() override {
    case_ = tooling::BuildSampleCase(dir_.path());
    const std::string picture = tooling::BuildCameraJpeg({});
    for (int i = 0; i < kPictures; ++i)
      test::Write(case_.case_folder + "/p" + std::to_string(i) + ".jpg", picture);
  }
  std::vector<std::pair<std::string, std::string>> WriterParams(int first, int count,
                                                                const std::string& log,
                                                                bool mixed) {
    return {{"PICMETA_APP", case_.app_path},
            {"PICMETA_FOLDER", test::Shown(case_.case_folder)},
            {"PICMETA_LOG", log},
            {"PICMETA_FIRST", std::to_string(first)},
            {"PICMETA_COUNT", std::to_string(count)},
            {"PICMETA_PICTURES", std::to_string(kPictures)},
            {"PICMETA_MIXED", mixed ? "1" : "0"}};
  }
  static constexpr int kPictures = 200;
  TempDir dir_;
  tooling::SampleCase case_;
};

TEST_F(WindowsCase, FourProcessesOfFiftyWritersOfOneFolderLoseNothing) {
  auto listed = test::List(case_.case_folder);
  listed.push_back("exifinfo.xml");
  std::sort(listed.begin(), listed.end());
  std::vector<std::unique_ptr<Child>> children;
  for (int p = 0; p < 4; ++p) {
    char log[16];
    std::snprintf(log, sizeof log, "log%d", p);
    children.push_back(
        std::make_unique<Child>("Writer", WriterParams(p * 50, 50, dir_ / log, false)));
  }
  for (auto& child : children) EXPECT_EQ(child->Wait(), 0u);
  const auto names = Recorded(case_.case_folder + "/exifinfo.xml");
  std::multiset<std::string> expected;
  for (int i = 0; i < 200; ++i)
    expected.insert(std::string("p").append(std::to_string(i)).append(".jpg"));
  EXPECT_EQ(names, expected);
  // Nothing is left in the folder: no lock file, no temporary.
  EXPECT_EQ(test::List(case_.case_folder), listed);
}

// A writer process terminated at random moments never leaves a truncated
// file or loses a record whose call had returned.
TEST_F(WindowsCase, TerminatedWritersNeverLoseReturnedRecords) {
  const char* env = std::getenv("PICMETA_KILL_TRIALS");
  const int trials = env ? std::atoi(env) : 100;
  std::mt19937 random(12345);
  std::set<std::string> returned;
  std::set<std::string> temporaries;  // what writers terminated mid-save left
  const std::string log = dir_ / "returned.log";
  for (int trial = 0; trial < trials; ++trial) {
    const std::string ready_log = log;
    {
      Child writer("Writer", WriterParams(trial * 7, 0, ready_log, true));
      // Past the start of the process (which varies), into its calls.
      const auto before = test::Read(log).size();
      for (int i = 0; i < 2500 && test::Read(log).size() == before; ++i) ::Sleep(2);
      ::Sleep(static_cast<DWORD>(random() % 40));
      writer.Kill();
    }
    std::istringstream said(test::Read(log));
    for (std::string line; std::getline(said, line);)
      if (line != "W") returned.insert(line);
    const std::string working = case_.case_folder + "/exifinfo.xml";
    if (returned.empty() && !test::Exists(working)) continue;  // ended before its first save
    const auto names = Recorded(working);
    ASSERT_EQ(names.count("<does not load>"), 0u) << "trial " << trial;
    for (const auto& name : returned)
      ASSERT_EQ(names.count(name), 1u) << name << " lost in trial " << trial;
    for (const auto& f : test::List(case_.case_folder))
      if (platform::IsTemporaryName(f)) temporaries.insert(f);
  }
  EXPECT_GT(returned.size(), 0u);
  // Once abandoned for an hour, what they left is swept by the next save.
  for (const auto& f : temporaries)
    test::SetModified(case_.case_folder + "/" + f, std::time(nullptr) - 7200);
  clsmain().NewWriteDatatoXML(case_.app_path, case_.case_folder + "/p0.jpg", "3100000ABCDEF001", "",
                              "1", "", "");
  for (const auto& f : test::List(case_.case_folder))
    EXPECT_FALSE(platform::IsTemporaryName(f)) << f;
  std::printf("[ kill test ] %d trials, %zu terminated during a save, %zu records checked\n",
              trials, temporaries.size(), returned.size());
}

TEST(WindowsFiles, ASaveWaitsForAFileHeldOpenThenReplacesIt) {
  TempDir dir;
  const std::string file = dir / "exifinfo.xml";
  test::Write(file, "old");
  Child holder(
      "Holder",
      {{"PICMETA_FILE", file}, {"PICMETA_READY", dir / "ready"}, {"PICMETA_HOLD_MS", "500"}});
  WaitFor(dir / "ready");
  EXPECT_TRUE(platform::AtomicWriteFile(test::At(file), "new").ok());
  EXPECT_EQ(test::Read(file), "new");
  EXPECT_EQ(holder.Wait(), 0u);
  EXPECT_EQ(test::List(dir.path()), (std::vector<std::string>{"exifinfo.xml", "ready"}));
}

TEST(WindowsFiles, ASaveGivesUpOnAFileHeldTooLongAndLeavesItAsItWas) {
  TempDir dir;
  const std::string file = dir / "exifinfo.xml";
  test::Write(file, "old");
  Child holder(
      "Holder",
      {{"PICMETA_FILE", file}, {"PICMETA_READY", dir / "ready"}, {"PICMETA_HOLD_MS", "6000"}});
  WaitFor(dir / "ready");
  const auto start = std::chrono::steady_clock::now();
  const platform::Status s = platform::AtomicWriteFile(test::At(file), "new");
  EXPECT_FALSE(s.ok() || s.code == platform::FileStatus::kNotSynced) << platform::Describe(s);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  holder.Kill();
  EXPECT_EQ(test::Read(file), "old");
  EXPECT_EQ(test::List(dir.path()), (std::vector<std::string>{"exifinfo.xml", "ready"}));
}

TEST(WindowsFiles, AReadWaitsForAFileHeldExclusivelyAndTellsWindowsOwnError) {
  TempDir dir;
  const std::string file = dir / "busiinfoprocess.xml";
  test::Write(file, "content");
  {
    Child holder("Holder", {{"PICMETA_FILE", file},
                            {"PICMETA_READY", dir / "ready"},
                            {"PICMETA_HOLD_MS", "400"},
                            {"PICMETA_SHARE", "none"}});
    WaitFor(dir / "ready");
    std::string bytes;
    ASSERT_TRUE(platform::ReadWholeFile(test::At(file), 100, bytes).ok());
    EXPECT_EQ(bytes, "content");
    EXPECT_EQ(holder.Wait(), 0u);
  }
  std::filesystem::remove(test::P(dir / "ready"));
  Child holder("Holder", {{"PICMETA_FILE", file},
                          {"PICMETA_READY", dir / "ready"},
                          {"PICMETA_HOLD_MS", "8000"},
                          {"PICMETA_SHARE", "none"}});
  WaitFor(dir / "ready");
  std::string bytes;
  const platform::Status s = platform::ReadWholeFile(test::At(file), 100, bytes);
  holder.Kill();
  EXPECT_EQ(s.code, platform::FileStatus::kIoError);
  EXPECT_EQ(s.error.value(), static_cast<int>(ERROR_SHARING_VIOLATION));  // the system's own code
  EXPECT_EQ(s.error, std::errc::device_or_resource_busy);
}

TEST(WindowsFiles, OneLockServesEverySpellingOfAFolder) {
  TempDir dir;
  test::Write(dir / "Case/x", "");
  const std::string folder = test::Shown(dir / "Case");
  std::string other = dir.path() + "/case";
  for (char& c : other)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  bool refused = false;
  {
    const platform::FolderLock held = test::Locked(test::At(folder));
    std::thread([&] { refused = !platform::FolderLock::Take(test::At(other), 50); }).join();
  }
  EXPECT_TRUE(refused);
  std::thread([&] {
    EXPECT_TRUE(platform::FolderLock::Take(test::At(other), 50));
  }).join();  // released with its holder
  // The lock is the lock file's, which stays, hidden.
  EXPECT_EQ(test::List(dir / "Case"), std::vector<std::string>{"x"});
  const DWORD lock = ::GetFileAttributesW(Wide(dir / "Case/.picmeta.lock").c_str());
  ASSERT_NE(lock, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(lock & FILE_ATTRIBUTE_HIDDEN, 0u);
}

TEST(WindowsFiles, PicturesAreReadWhileAnotherProgramHoldsThemOpen) {
  TempDir dir;
  test::Write(dir / "IMG.jpg", tooling::BuildCameraJpeg({}));
  const HANDLE h = ::CreateFileW(Wide(dir / "IMG.jpg").c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  clsPicinfo r;
  Public_Function::ReadPicInfo(test::Shown(dir / "IMG.jpg"), r);
  ::CloseHandle(h);
  EXPECT_EQ(r.Make().substr(0, 5), "Canon");
  EXPECT_EQ(r.Filename(), "IMG.jpg");
}

TEST(WindowsFiles, ChineseFolderAndPictureNamesWorkWhateverTheCodePage) {
  TempDir dir;
  const std::string folder = dir / "车险/现场照片";
  test::Write(folder + "/车损.jpg", tooling::BuildCameraJpeg({}));
  EXPECT_TRUE(platform::FolderExists(test::At(folder)));
  platform::FileInfo info;
  ASSERT_TRUE(platform::StatFile(platform::Path::FromText(folder + "\\车损.jpg"), info).ok());
  EXPECT_EQ(info.name, "车损.jpg");
  clsPicinfo r;
  Public_Function::ReadPicInfo(folder + "\\车损.jpg", r);
  EXPECT_EQ(r.Filename(), "车损.jpg");
  EXPECT_EQ(r.Make().substr(0, 5), "Canon");
}

// The record of a picture is keyed by the name the file system stores,
// however the caller spells it (letter case, trailing dots and blanks).
TEST_F(WindowsCase, OnePictureHasOneRecordWhateverItsSpelling) {
  clsmain obj;
  obj.WriteDatatoXML(case_.app_path, case_.orgid, "", "0815", "", "");
  for (const char* spelling : {"img_0002.jpg", "IMG_0002.JPG.", "Img_0002.jpg . "})
    obj.NewWriteDatatoXML(case_.app_path, case_.case_folder + "\\" + spelling, case_.orgid, "",
                          "0815", "", "");
  const auto names = test::RecordNames(case_.case_folder + "/exifinfo.xml");
  EXPECT_EQ(std::count(names.begin(), names.end(), "IMG_0002.JPG"), 1) << names.size();
  for (const auto& n : names) EXPECT_EQ(n.find("img"), std::string::npos) << n;
  // A listing that spells a picture otherwise adds no second record either.
  test::Write(case_.case_folder + "/kelexplorersource.xml",
              "<kelexplorerinfo><file name='img_0001.jpg' processflag='1'/></kelexplorerinfo>");
  obj.WriteDatatoXML(case_.app_path, case_.orgid, "", "0815", "", "");
  obj.WriteDatatoXML(case_.app_path, case_.orgid, "", "0815", "", "");
  const auto again = test::RecordNames(case_.case_folder + "/exifinfo.xml");
  EXPECT_EQ(again.size(), names.size());
}

// Paths longer than MAX_PATH work, whether or not the system has long-path
// support turned on (they are given to it in the "\\?\" form).
TEST_F(WindowsCase, PathsLongerThanMaxPathWork) {
  std::string deep = dir_ / "deep";
  while (deep.size() < 300) deep += "/a-folder-name-of-some-length";
  std::filesystem::create_directories(test::P(deep));
  ASSERT_GT(deep.size(), static_cast<std::size_t>(MAX_PATH));
  test::Write(deep + "/IMG.JPG", tooling::BuildCameraJpeg({}));
  clsmain().DeleteDatafromXML(deep, "none.jpg");  // nothing there: nothing written
  EXPECT_FALSE(test::Exists(deep + "/exifinfo.xml"));
  clsmain().NewWriteDatatoXML(case_.app_path, deep + "/IMG.JPG", case_.orgid, "", "0815", "", "");
  EXPECT_EQ(test::RecordNames(deep + "/exifinfo.xml"), std::vector<std::string>{"IMG.JPG"});
}

}  // namespace
}  // namespace picmeta
