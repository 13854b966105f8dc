#include <gtest/gtest.h>
#include <sys/stat.h>

#include "picmeta/clsmain.h"
#include "picmeta/picmeta.h"
#include "platform/os/clock.h"
#include "platform/xml/document.h"
#include "tests/support.h"

namespace picmeta {
namespace {

using test::TempDir;

std::string Records(const std::string& names) {
  std::string body;
  std::size_t start = 0;
  while (start < names.size()) {
    const auto comma = names.find(',', start);
    const std::string name = names.substr(start, comma - start);
    body += "<info Filename=\"" + name + "\" Make=\"m\"/>";
    start = comma == std::string::npos ? names.size() : comma + 1;
  }
  return "<?xml version=\"1.0\" encoding=\"GBK\"?><root>" + body + "</root>";
}

using test::RecordNames;

TEST(DeleteDatafromXML, RemovesOnlyTheFirstExactMatch) {
  TempDir dir;
  test::Write(dir / "exifinfo.xml", Records("A.jpg,B.jpg,A.jpg"));
  clsmain obj;
  obj.DeleteDatafromXML(dir.path(), "A.jpg");
  EXPECT_EQ(RecordNames(dir / "exifinfo.xml"), (std::vector<std::string>{"B.jpg", "A.jpg"}));
  obj.DeleteDatafromXML(dir.path(), "a.jpg");
  EXPECT_EQ(RecordNames(dir / "exifinfo.xml"), (std::vector<std::string>{"B.jpg", "A.jpg"}));
  obj.DeleteDatafromXML(dir.path(), "A.jpg");
  EXPECT_EQ(RecordNames(dir / "exifinfo.xml"), (std::vector<std::string>{"B.jpg"}));
}

TEST(DeleteDatafromXML, BackslashAndSlashFoldersAreTheSame) {
  TempDir dir;
  test::Write(dir / "a/b/exifinfo.xml", Records("X.jpg,Y.jpg"));
  clsmain obj;
  obj.DeleteDatafromXML(dir.path() + "\\a\\b", "X.jpg");
  obj.DeleteDatafromXML(dir.path() + "/a/b", "Y.jpg");
  EXPECT_TRUE(RecordNames(dir / "a/b/exifinfo.xml").empty());
}

TEST(DeleteDatafromXML, RewritesTheFileEvenWithoutAMatchKeepingOtherContent) {
  TempDir dir;
  test::Write(
      dir / "exifinfo.xml",
      "<?xml version=\"1.0\" encoding=\"GBK\"?>\n<records><info Filename=\"A.jpg\"/></records>");
  clsmain obj;
  obj.DeleteDatafromXML(dir.path(), "A.jpg");  // root is not named root: nothing selected
  platform::XmlDocument doc;
  ASSERT_TRUE(doc.Load(test::At(dir / "exifinfo.xml")));
  EXPECT_EQ(doc.DocumentElement().Name(), "records");
  EXPECT_TRUE(doc.SelectSingleNode("records/info"));
  EXPECT_EQ(test::List(dir.path()), std::vector<std::string>{"exifinfo.xml"});
}

TEST(DeleteDatafromXML, NeverCreatesOrReplacesAFileThatDidNotLoad) {
  TempDir dir;
  clsmain obj;
  obj.DeleteDatafromXML(dir.path(), "A.jpg");
  EXPECT_TRUE(test::List(dir.path()).empty());

  const std::string hostile =
      "<!DOCTYPE root [<!ENTITY a \"aaaaaaaaaa\">]><root><info Filename=\"&a;\"/></root>";
  test::Write(dir / "exifinfo.xml", hostile);
  test::CaptureOutput out;
  obj.DeleteDatafromXML(dir.path(), "aaaaaaaaaa");
  EXPECT_EQ(out.Finish(), "");
  EXPECT_EQ(test::Read(dir / "exifinfo.xml"), hostile);
  obj.DeleteDatafromXML(dir.path() + "/missing-folder", "A.jpg");
}

TEST(DeleteDatafromXML, AReadOnlyFileKeepsItsContent) {
  TempDir dir;
  const std::string before = Records("A.jpg");
  test::Write(dir / "exifinfo.xml", before);
  ::chmod((dir / "exifinfo.xml").c_str(), 0444);
  clsmain obj;
  obj.DeleteDatafromXML(dir.path(), "A.jpg");
  EXPECT_EQ(test::Read(dir / "exifinfo.xml"), before);
}

TEST(Clsmain, TheCInterfaceCopiesGvFilePathSafely) {
  picmeta_clsmain* c = picmeta_clsmain_create();
  ASSERT_NE(c, nullptr);
  picmeta_clsmain_set_GV_FilePath(c, "abcdef");
  char buf[4];
  EXPECT_EQ(picmeta_clsmain_get_GV_FilePath(c, buf, sizeof buf), 6u);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(picmeta_clsmain_get_GV_FilePath(c, nullptr, 0), 6u);
  picmeta_clsmain_set_GV_FilePath(c, nullptr);
  EXPECT_EQ(picmeta_clsmain_get_GV_FilePath(c, buf, sizeof buf), 0u);
  EXPECT_STREQ(buf, "");
  picmeta_clsmain_DeleteDatafromXML(c, nullptr, nullptr);
  picmeta_clsmain_DeleteDatafromXML(nullptr, "x", "y");
  picmeta_clsmain_release(c);
  picmeta_clsmain_release(nullptr);
}

}  // namespace
}  // namespace picmeta
