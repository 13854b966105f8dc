#include <gtest/gtest.h>

#include <chrono>

#include "platform/xml/document.h"
#include "platform/xml/items.h"
#include "platform/xml/parser.h"
#include "platform/xml/record_writer.h"
#include "records/record_document.h"
#include "tests/support.h"

namespace picmeta::platform {
namespace {

using test::TempDir;

TEST(XmlDocument, LoadReportsMissingAndBrokenFilesAsNotLoaded) {
  TempDir dir;
  test::Write(dir / "broken.xml", "<root><info></root>");
  test::CaptureOutput out;
  XmlDocument doc;
  EXPECT_FALSE(doc.Load(test::At(dir / "missing.xml")));
  EXPECT_FALSE(doc.Load(test::At(dir / "broken.xml")));
  EXPECT_FALSE(doc.Load(test::At(dir.path())));  // a folder
  EXPECT_FALSE(doc.LoadXML(""));
  EXPECT_TRUE(doc.LoadXML("<a/>"));
  EXPECT_EQ(out.Finish(), "");
}

TEST(XmlDocument, AttributesTellAbsentFromEmptyAndKeepTheirOrder) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadXML("<root><info b='2' a='' c='&#20013;'/></root>"));
  XmlNode info = doc.SelectSingleNode("root/info");
  EXPECT_EQ(info.GetAttribute("a"), "");
  EXPECT_EQ(info.GetAttribute("d"), std::nullopt);
  using Attributes = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(info.Attributes(), (Attributes{{"b", "2"}, {"a", ""}, {"c", "中"}}));
}

TEST(XmlDocument, QueriesStartAtTheDocumentOrAtTheNode) {
  XmlDocument doc;
  ASSERT_TRUE(
      doc.LoadXML("<busiinfoprocess><busino>C<b>1</b>2</busino><busiinforecord foldername='R'>"
                  "<subcalsscodeinforecord foldername='S'><doctypeinforecord foldername='A'/>"
                  "<doctypeinforecord foldername='B'/></subcalsscodeinforecord>"
                  "<attribute name='x' value='1'/><attribute name='classcode' value='11020000'/>"
                  "</busiinforecord></busiinfoprocess>"));
  EXPECT_EQ(doc.SelectSingleNode("/busiinfoprocess/busino").Text(), "C12");
  const XmlNode record = doc.SelectSingleNode("/busiinfoprocess/busiinforecord");
  EXPECT_EQ(record.SelectSingleNode("attribute[@name='classcode']").GetAttribute("value"),
            "11020000");
  const XmlNode sub = record.SelectSingleNode("subcalsscodeinforecord");
  ASSERT_EQ(sub.SelectNodes("doctypeinforecord ").size(), 2u);  // trailing blank
  EXPECT_EQ(sub.SelectNodes("doctypeinforecord")[1].GetAttribute("foldername"), "B");
  EXPECT_EQ(sub.SelectSingleNode("/busiinfoprocess/busino").Name(), "busino");
  EXPECT_TRUE(doc.SelectNodes("root/info").empty());
}

TEST(XmlDocument, ChildrenSelectWhatTheQueryOfTheirNameSelects) {
  XmlDocument doc;
  ASSERT_TRUE(
      doc.LoadXML("<r xmlns:p='urn:p'><a n='1'/>text<!--c--><b/><a n='2'><a n='inner'/></a>"
                  "<p:a n='prefixed'/><a xmlns='urn:d' n='default'/><?a pi?><a n='3'/></r>"));
  const XmlNode root = doc.DocumentElement();
  auto names = [](const std::vector<XmlNode>& nodes) {
    std::vector<std::string> out;
    for (const auto& n : nodes) out.push_back(n.GetAttribute("n").value_or("?"));
    return out;
  };
  EXPECT_EQ(names(root.Children("a")), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(names(root.Children("a")), names(root.SelectNodes("a")));
  EXPECT_TRUE(root.Children("c").empty());
  EXPECT_TRUE(XmlNode().Children("a").empty());
}

TEST(XmlDocument, AnAbsentNodeReadsAsEmptyAndABadQueryIsAFault) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadXML("<root><info a='1'/></root>"));
  const XmlNode none = doc.SelectSingleNode("root/nothing");
  EXPECT_FALSE(none);
  EXPECT_EQ(none.Name(), "");
  EXPECT_EQ(none.Text(), "");
  EXPECT_EQ(none.GetAttribute("a"), std::nullopt);
  EXPECT_TRUE(none.Attributes().empty());
  EXPECT_FALSE(none.SelectSingleNode("info"));
  EXPECT_TRUE(none.SelectNodes("info").empty());
  XmlDocument empty;
  EXPECT_FALSE(empty.DocumentElement());
  EXPECT_TRUE(empty.SelectNodes("root/info").empty());
  // An invalid query is the program's fault, not the file's: it is never
  // taken for "nothing there", whatever node it runs on.
  EXPECT_THROW(doc.SelectSingleNode("root/info[@a="), XmlError);
  EXPECT_THROW(none.SelectNodes("///"), XmlError);
  EXPECT_THROW(empty.SelectSingleNode("root/["), XmlError);
}

TEST(RecordDocument, ValuesSurviveGbkWithForbiddenCharactersDropped) {
  XmlFrame frame;
  ASSERT_TRUE(records::RecordFrame(frame));
  XmlItemWriter writer;
  std::string bytes;
  EXPECT_TRUE(writer.Begin(frame, [&bytes](std::string_view b) { bytes.append(b); }));
  auto info = XmlItem::Element("info");
  const std::string value = std::string("\x01", 1) + "张三\t李四\né ÿ 😀 " + std::string("\0x", 2);
  info.SetAttribute("Opername", value);
  EXPECT_TRUE(writer.Write(info));
  EXPECT_TRUE(writer.End());

  EXPECT_EQ(bytes.rfind("<?xml version=\"1.0\" encoding=\"GBK\"?>", 0), 0u) << bytes;
  const std::string expected = "张三\t李四\né ÿ 😀 x";
  XmlDocument back;
  ASSERT_TRUE(back.LoadXML(bytes));
  EXPECT_EQ(back.SelectSingleNode("root/info").GetAttribute("Opername"), expected);
  // An independent decoder sees the same Chinese text in the GBK bytes.
  const std::string decoded = test::FromGbk(bytes);
  EXPECT_NE(decoded.find("张三&#9;李四&#10;é &#255; &#128512; x"), std::string::npos) << decoded;
  EXPECT_EQ(bytes.find("\xD5\xC5\xC8\xFD"), bytes.find("\xD5\xC5"));  // 张三 in GBK
  EXPECT_NE(bytes.find("\xD5\xC5\xC8\xFD"), std::string::npos);
}

TEST(RecordDocument, GbkWorkspaceFilesAreReadByTheirDeclaration) {
  TempDir dir;
  test::Write(dir / "w.xml",
              test::Gbk("<?xml version=\"1.0\" encoding=\"GBK\"?>"
                        "<documentinfo><filename name=\"照片一.jpg\"/></documentinfo>"));
  XmlDocument doc;
  ASSERT_TRUE(doc.Load(test::At(dir / "w.xml")));
  EXPECT_EQ(doc.SelectSingleNode("documentinfo/filename").GetAttribute("name"), "照片一.jpg");
}

TEST(XmlItems, XmlSafeDropsWhatXmlCannotCarryAndKeepsTheRest) {
  const std::string in = std::string("a\x01\0b\tc\nd\re", 10) + "é😀" + "\xEF\xBF\xBE" + "\xC3";
  EXPECT_EQ(XmlSafe(in), "ab\tc\nd\reé😀");
  EXPECT_EQ(XmlSafe("\xED\xA0\x80x"), "x");  // an encoded surrogate is not UTF-8
  EXPECT_EQ(XmlSafe("\xC0\xAFz"), "z");      // nor is an overlong form
}

struct Hostile {
  const char* name;
  std::string text;
};

class HostileXml : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileXml, LoadsAsNotLoadedQuicklyAndSilently) {
  TempDir dir;
  test::Write(dir / "secret.txt", "top secret");
  std::string text = GetParam().text;
  const auto at = text.find("SECRET");
  if (at != std::string::npos) text.replace(at, 6, dir / "secret.txt");
  test::Write(dir / "h.xml", text);
  test::CaptureOutput out;
  XmlDocument doc;
  EXPECT_FALSE(doc.Load(test::At(dir / "h.xml")));
  EXPECT_EQ(out.Finish(), "");
}

// The attribute limit counts attributes only: "=" in values, in text, in
// comments, CDATA sections and instructions never count, however the text is
// cut into pieces.
TEST(AttributeGuard, CountsAttributesNotEqualSigns) {
  auto attributes = [](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += " a" + std::to_string(i) + "='x'";
    return s;
  };
  const std::string many_equals(1000, '=');
  const struct {
    std::string text;
    bool passes;
  } cases[] = {
      {"<r" + attributes(256) + "/>", true},
      {"<r" + attributes(257) + "/>", false},
      {"<r><e" + attributes(100) + "/><e" + attributes(300) + ">x</e></r>", false},
      {"<r v='" + many_equals + "' w=\"" + many_equals + "\"/>", true},
      {"<r>" + many_equals + "<e/>" + many_equals + "</r>", true},
      {"<r><![CDATA[<e " + many_equals + "]]><!-- <e " + many_equals + " --><?p " + many_equals +
           "?></r>",
       true},
      {"<r v='a>b'" + attributes(257) + "/>", false},
      {"<r" + attributes(200) + ">" + many_equals + "</r>", true},
  };
  for (const auto& c : cases) {
    detail::AttributeGuard whole;
    EXPECT_EQ(whole.Feed(c.text), c.passes) << c.text.substr(0, 60);
    for (std::size_t piece : {1u, 7u, 1000u}) {
      detail::AttributeGuard cut;
      bool passes = true;
      for (std::size_t at = 0; at < c.text.size(); at += piece)
        passes = cut.Feed(std::string_view(c.text).substr(at, piece)) && passes;
      EXPECT_EQ(passes, c.passes) << "pieces of " << piece << ": " << c.text.substr(0, 60);
    }
  }
}

std::string Nested(int depth) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += "<doctypeinforecord>";
  for (int i = 0; i < depth; ++i) s += "</doctypeinforecord>";
  return "<root>" + s + "</root>";
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, HostileXml,
    ::testing::Values(
        Hostile{"EntityBomb",
                "<?xml version='1.0'?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
                "<!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
                "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
                "<!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">"
                "<!ENTITY lol5 \"&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;\">"
                "<!ENTITY lol6 \"&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;\">"
                "<!ENTITY lol7 \"&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;\">"
                "<!ENTITY lol8 \"&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;\">"
                "<!ENTITY lol9 \"&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;\">]>"
                "<root><info Filename=\"&lol9;\"/></root>"},
        Hostile{
            "ExternalEntity",
            "<!DOCTYPE root [<!ENTITY x SYSTEM \"file://SECRET\">]><root><info a=\"&x;\"/></root>"},
        Hostile{"ExternalDtd", "<!DOCTYPE root SYSTEM \"SECRET\"><root/>"},
        Hostile{"EmptyDoctype", "<!DOCTYPE root><root/>"},
        Hostile{"UndeclaredEntity", "<root><info a=\"&undeclared;\"/></root>"},
        Hostile{"Nesting300", Nested(300)},
        Hostile{"UnknownEncoding", "<?xml version='1.0' encoding='NO-SUCH-ENCODING'?><root/>"},
        Hostile{"TwoRoots", "<root/><root/>"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace picmeta::platform
