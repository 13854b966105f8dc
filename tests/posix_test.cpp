// What only a POSIX system can hold: file names that are not UTF-8 or carry
// control characters.
#include <gtest/gtest.h>

#include <filesystem>

#include "picmeta/clsmain.h"
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

}  // namespace
}  // namespace picmeta
