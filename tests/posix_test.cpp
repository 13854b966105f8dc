// What only a POSIX system can hold or do: file names that are not UTF-8 or
// carry control characters, descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "picmeta/clsmain.h"
#include "platform/os/fs.h"
#include "platform/xml/document.h"
#include "tests/support.h"
#include "tools/exif_builder.h"
#include "tools/sample_case.h"

namespace picmeta {
namespace {

std::vector<std::string> Names(const std::string& path) {
  platform::XmlDocument doc;
  std::vector<std::string> names;
  if (!doc.Load(path)) return names;
  for (const auto& info : doc.SelectNodes("root/info"))
    names.push_back(info.GetAttribute("Filename").value_or(""));
  return names;
}

// Names a record could not hold exactly (GBK bytes on a UTF-8 disk, control
// characters) would collapse into one record: ".jpg" for 正面.jpg and 背面.jpg,
// "a.jpg" for a\x01.jpg and a\x02.jpg. Such pictures get no working record,
// and deleting by such a name removes no other picture's record.
TEST(PosixNames, PicturesWhoseNamesCannotBeStoredNeverShareARecord) {
  test::FixedClock clock;
  test::TempDir dir;
  const auto c = tooling::BuildSampleCase(dir.path());
  const std::string picture = tooling::BuildCameraJpeg({});
  const std::string folder = c.case_folder;
  const std::vector<std::string> odd = {"\xD5\xFD\xC3\xE6.jpg", "\xB1\xB3\xC3\xE6.jpg", "a\x01.jpg",
                                        "a\x02.jpg"};
  for (const auto& name : odd) test::Write(folder + "/" + name, picture);
  test::Write(folder + "/a.jpg", picture);
  std::vector<Event> events;
  SetLogHandler([&](const Event& e) {
    if (e.code == PICMETA_EVENT_NAME_NOT_STORABLE) events.push_back(e);
  });
  clsmain obj;
  obj.NewWriteDatatoXML(c.app_path, folder + "/a.jpg", c.orgid, "", "1", "", "");
  for (const auto& name : odd)
    obj.NewWriteDatatoXML(c.app_path, folder + "/" + name, c.orgid, "", "1", "", "");
  EXPECT_EQ(Names(folder + "/exifinfo.xml"), std::vector<std::string>{"a.jpg"});
  obj.DeleteDatafromXML(folder, "a\x01.jpg");
  EXPECT_EQ(Names(folder + "/exifinfo.xml"), std::vector<std::string>{"a.jpg"});
  SetLogHandler(nullptr);
  EXPECT_EQ(events.size(), odd.size() + 1);
  for (const auto& e : events) EXPECT_EQ(e.severity, PICMETA_WARNING);
}

// A host that closed its standard input must not find a file of ours there:
// whatever it then reads or writes on descriptor 0 would be our file's.
TEST(PosixFiles, FilesTheLibraryKeepsOpenNeverTakeTheStandardStreams) {
  test::TempDir dir;
  test::Write(dir / "a.xml", "abc");
  const int saved = ::dup(0);
  ASSERT_GE(saved, 0);
  ::close(0);
  platform::ReadFile file;
  const platform::Status opened = file.Open(dir / "a.xml");
  const bool read_took_it = ::fcntl(0, F_GETFD) != -1;
  platform::LockedFile journal;
  const platform::Status created = journal.Create(dir / "journal");
  const bool journal_took_it = ::fcntl(0, F_GETFD) != -1;
  bool lock_took_it = false;
  {
    platform::FolderLock lock(dir.path());
    lock_took_it = ::fcntl(0, F_GETFD) != -1;
  }
  platform::AtomicWriteFile(dir / "b.xml", "written");
  ::dup2(saved, 0);
  ::close(saved);
  ASSERT_TRUE(opened.ok());
  ASSERT_TRUE(created.ok());
  EXPECT_FALSE(read_took_it);
  EXPECT_FALSE(journal_took_it);
  EXPECT_FALSE(lock_took_it);
  char bytes[3];
  ASSERT_TRUE(file.ReadAt(0, bytes, 3).ok());
  EXPECT_EQ(std::string(bytes, 3), "abc");
  EXPECT_EQ(test::Read(dir / "b.xml"), "written");
}

}  // namespace
}  // namespace picmeta
