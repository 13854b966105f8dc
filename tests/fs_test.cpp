#include "platform/os/fs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support.h"

namespace picmeta::platform {
namespace {

using test::TempDir;

TEST(Paths, ParametersSeparateAtEitherSlashAndAreMadeAbsoluteOnce) {
  TempDir dir;
  test::Write(dir / "a/b.jpg", "12345");
  const Path folder = Path::FromText(dir.path() + "\\a");
  EXPECT_TRUE(FileExists(folder / "b.jpg"));
  EXPECT_FALSE(FileExists(folder));
  EXPECT_TRUE(FolderExists(folder));
  EXPECT_FALSE(FolderExists(folder / "b.jpg"));
  FileInfo info;
  ASSERT_TRUE(StatFile(Path::FromText(dir.path() + "/a\\b.jpg"), info).ok());
  EXPECT_EQ(info.name, "b.jpg");
  EXPECT_EQ(info.size, 5);
  EXPECT_GT(info.modified, 0);
  EXPECT_LE(info.created, info.modified + 1);
  EXPECT_EQ(StatFile(folder, info).code, FileStatus::kNotRegular);

  const Path text = Path::FromText("x/./y\\\\z.JPG");
  EXPECT_EQ(text.names(), (std::vector<std::string>{"x", "y", "z.JPG"}));
  EXPECT_FALSE(text.IsAbsolute());
  EXPECT_EQ(text.Name(), "z.JPG");
  EXPECT_EQ(text.Parent().Name(), "y");
  // A name joined whole stays one name, whatever it holds.
  EXPECT_EQ((Path() / "p\\q").names(), std::vector<std::string>{"p\\q"});
  EXPECT_EQ(Path().Native(), ".");

  // A relative parameter is read from the current folder when it is made absolute.
  const Path absolute = Absolute(Path::FromText("a\\b.jpg"));
  EXPECT_TRUE(absolute.IsAbsolute());
  EXPECT_EQ(absolute,
            Absolute(Path::FromNative(test::U8(std::filesystem::current_path()))) / "a" / "b.jpg");
  EXPECT_EQ(Absolute(folder), folder);
}

TEST(FileSystem, DeleteRefusesReadOnlyFilesEvenForRoot) {
  TempDir dir;
  test::Write(dir / "ro.xml", "x");
  ::chmod((dir / "ro.xml").c_str(), 0444);
  EXPECT_EQ(RemoveFile(test::At(dir / "ro.xml")).code, FileStatus::kReadOnly);
  EXPECT_TRUE(test::Exists(dir / "ro.xml"));
  ::chmod((dir / "ro.xml").c_str(), 0644);
  EXPECT_TRUE(RemoveFile(test::At(dir / "ro.xml")).ok());
  EXPECT_FALSE(test::Exists(dir / "ro.xml"));
  EXPECT_EQ(RemoveFile(test::At(dir / "ro.xml")).code, FileStatus::kNotFound);
}

TEST(AtomicWrite, ReplacesWhole) {
  TempDir dir;
  test::Write(dir / "f.xml", "old content that is longer");
  EXPECT_TRUE(AtomicWriteFile(test::At(dir / "f.xml"), "new").ok());
  EXPECT_EQ(test::Read(dir / "f.xml"), "new");
  EXPECT_EQ(test::List(dir.path()), std::vector<std::string>{"f.xml"});
}

TEST(AtomicWrite, EveryFailingStepLeavesTheOldFileAndNoTemporary) {
  for (const auto op : {Op::kOpen, Op::kWrite, Op::kFsync, Op::kRename}) {
    TempDir dir;
    test::Write(dir / "f.xml", "old");
    {
      test::FaultGuard faults([op](Op o) { return o == op ? Fault{ENOSPC} : Fault{}; });
      const Status s = AtomicWriteFile(test::At(dir / "f.xml"), "new content");
      EXPECT_FALSE(s.ok() || s.code == FileStatus::kNotSynced);
      EXPECT_EQ(s.error.value(), ENOSPC);
    }
    EXPECT_EQ(test::Read(dir / "f.xml"), "old");
    EXPECT_EQ(test::List(dir.path()), std::vector<std::string>{"f.xml"});
  }
}

TEST(AtomicWrite, RefusesReadOnlyTargetsAndMissingFolders) {
  TempDir dir;
  test::Write(dir / "ro.xml", "old");
  ::chmod((dir / "ro.xml").c_str(), 0444);
  EXPECT_EQ(AtomicWriteFile(test::At(dir / "ro.xml"), "new").code, FileStatus::kReadOnly);
  EXPECT_EQ(test::Read(dir / "ro.xml"), "old");
  EXPECT_EQ(AtomicWriteFile(test::At(dir / "none/f.xml"), "new").code, FileStatus::kNotFound);
}

TEST(FolderLock, SerialisesHoldersAndGivesUpAfterItsBound) {
  TempDir dir;
  std::atomic<int> inside{0};
  std::atomic<int> overlap{0};
  auto worker = [&] {
    for (int i = 0; i < 20; ++i) {
      const FolderLock lock = test::Locked(test::At(dir.path()));
      if (inside.fetch_add(1) != 0) overlap++;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      inside.fetch_sub(1);
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(overlap.load(), 0);

  const FolderLock held = test::Locked(test::At(dir.path()));
  auto timed_out = [&](int timeout_ms) {
    const auto again = FolderLock::Take(test::At(dir.path()), timeout_ms);
    return !again && again.status().code == FileStatus::kLockTimeout;
  };
  // Another thread waits for the bound, then gives up.
  std::thread other([&] {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(timed_out(50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  });
  other.join();
  // The holder itself would wait for itself: it is refused at once.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(timed_out(60000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(FolderLock::Take(test::At(dir / "missing")).status().code, FileStatus::kNotFound);
}

}  // namespace
}  // namespace picmeta::platform
