#include <gtest/gtest.h>

#include "platform/os/text.h"
#include "platform/xml/document.h"
#include "platform/xml/record_reader.h"
#include "platform/xml/record_writer.h"
#include "records/record_document.h"
#include "tests/support.h"
#include "tests/tree_oracle.h"

namespace picmeta::platform {
namespace {

using test::TempDir;

// What the streaming reader and writer make of a document: every root child
// read and written again ("not loaded" as the tree says it).
std::string StreamedAgain(const std::string& bytes, LoadResult* result = nullptr) {
  XmlItemReader reader;
  EXPECT_TRUE(reader.OpenBytes(bytes));
  XmlItemWriter writer;
  std::string out;
  XmlItem item;
  bool begun = false;
  while (reader.Next(item)) {
    if (!begun) {
      EXPECT_TRUE(writer.Begin(reader.frame(), [&out](std::string_view b) { out.append(b); }));
    }
    begun = true;
    EXPECT_TRUE(writer.Write(item));
  }
  if (result) *result = reader.result();
  if (!reader.result()) return "not loaded";
  if (!begun) {
    EXPECT_TRUE(writer.Begin(reader.frame(), [&out](std::string_view b) { out.append(b); }));
  }
  EXPECT_TRUE(writer.End(reader.frame().epilog));
  return out;
}

const std::vector<std::string> kValues = {
    "plain",      "张三 李四",           "é ÿ 😀 € \u0085 \u00a0 \uFFFD",
    "a&b<c>\"d'", "tab\tnew\nline\rret", std::string("\x01nul\0", 5),
    "",           "  blanks  ",          "]]> &amp; &#38; 乱码"};

// The attributes of record i of a test file: every kind of value.
test::TreeRecord Values(std::size_t i) {
  test::TreeRecord record;
  for (std::size_t k = 0; k < kValues.size(); ++k)
    record.emplace_back("A" + std::to_string(k), kValues[(k + i) % kValues.size()]);
  return record;
}

// A record document as the library writes it, built as a tree and saved by
// libxml2.
std::string LibraryFile(std::size_t count) {
  std::vector<test::TreeRecord> records;
  for (std::size_t i = 0; i < count; ++i) records.push_back(Values(i));
  return test::TreeRecordFile(records);
}

TEST(XmlStream, RecordsWrittenOneByOneEqualTheTreeSave) {
  for (std::size_t count : {0u, 1u, 3u}) {
    XmlFrame frame;
    ASSERT_TRUE(records::RecordFrame(frame));
    XmlItemWriter writer;
    std::string out;
    EXPECT_TRUE(writer.Begin(frame, [&out](std::string_view b) { out.append(b); }));
    for (std::size_t i = 0; i < count; ++i) {
      auto info = XmlItem::Element("info");
      for (const auto& [name, value] : Values(i)) info.SetAttribute(name, value);
      EXPECT_TRUE(writer.Write(info));
    }
    EXPECT_TRUE(writer.End());
    EXPECT_EQ(out, LibraryFile(count)) << count << " records";
  }
}

TEST(XmlStream, ALibraryFilePassesThroughByteForByte) {
  for (std::size_t count : {0u, 1u, 7u}) {
    const std::string file = LibraryFile(count);
    EXPECT_EQ(StreamedAgain(file), file) << count << " records";
  }
}

TEST(XmlStream, FilesOfOtherProgramsComeOutAsTheTreeSaveWritesThem) {
  const std::vector<std::string> documents = {
      "<root><info b='2' a='1'/><info/></root>",
      "<?xml version='1.0' encoding='UTF-8'?>\n<root>\n\t<info Filename=\"a.jpg\"   "
      "Make='M'/>\n</root>\n",
      "<root><!-- a note --><info a='1'/><?pi some data?><?bare?></root>",
      "<!-- before --><?pi x?><root x='1' y=\"&lt;\"><info/></root><!-- after -->",
      "<?xml version='1.0' encoding='GBK' standalone='yes'?><root><info a='&#20013;'/></root>",
      "<root xmlns='urn:a' xmlns:p='urn:p'><p:info p:a='1' b='2'/><info/></root>",
      "<root><info a='1'><child x='y'><deeper/></child><child/></info></root>",
      "<root><info>text &amp; more<b>bold</b> tail</info><x><![CDATA[<raw> & ]]></x></root>",
      "<root><info> </info><info>\n  <c/>\n</info></root>",
      "<other><info a='1'/></other>",
      "<root/>",
      "<root a='&#9;&#10;&#13;'>\n</root>",
      std::string("<root><info a='1'/></root>\0\0<junk", 30),  // ends at the NUL
      // a processing instruction whose name starts with "xml" declares nothing
      "<?xmlfoo encoding='GBK'?><root><info a='1'/></root>",
      "<?xml-stylesheet encoding='G\xd9\xd9"
      "BK'?><root>\xd9\xd9</root>",
  };
  for (const std::string& doc : documents)
    EXPECT_EQ(StreamedAgain(doc), test::TreeSavedAgain(doc)) << doc;
}

TEST(XmlStream, GbkFilesLargerThanAPieceMatchTheTreeAtEveryBoundary) {
  // Two-byte characters land across every piece boundary somewhere.
  std::string text = "<?xml version='1.0' encoding='GBK'?><root>";
  for (int i = 0; text.size() < 3 * 1024 * 1024; ++i)
    text += "<info n='" + std::to_string(i) + "' v='张三李四" + std::string(i % 3, 'x') + "é€'/>";
  text += "</root>";
  const std::string gbk = test::Gbk(text);
  const std::string streamed = StreamedAgain(gbk);
  EXPECT_EQ(streamed, test::TreeSavedAgain(gbk));
  EXPECT_EQ(StreamedAgain(streamed), streamed);
}

TEST(XmlStream, DocumentsThatDoNotLoadSayWhy) {
  const std::vector<std::pair<std::string, LoadFailure>> cases = {
      {"<!DOCTYPE r [<!ENTITY a 'aaaa'>]><root><info a='&a;'/></root>", LoadFailure::kDoctype},
      {"<root><info a='1'/><info b='2'/>", LoadFailure::kNotWellFormed},
      {"<root><info a='&undefined;'/></root>", LoadFailure::kNotWellFormed},
      {"", LoadFailure::kNotWellFormed},
      {"<root/><second/>", LoadFailure::kNotWellFormed},
      {"<?xml version='1.0' encoding='GBK'?><root a='\xFF\xFF'/>", LoadFailure::kBadEncoding},
      {"<?xml version='1.0' encoding='NO-SUCH-ENCODING'?><root/>", LoadFailure::kBadEncoding},
  };
  for (const auto& [document, failure] : cases) {
    LoadResult r;
    StreamedAgain(document, &r);
    EXPECT_EQ(r.failure, failure) << document;
  }
}

TEST(XmlStream, ABrokenEndIsFoundAfterTheRecordsBeforeIt) {
  std::string text = "<root>";
  for (int i = 0; i < 5000; ++i) text += "<info n='" + std::to_string(i) + "'/>";
  text += "<info";  // cut off
  XmlItemReader reader;
  ASSERT_TRUE(reader.OpenBytes(text));
  XmlItem item;
  int seen = 0;
  while (reader.Next(item)) ++seen;
  EXPECT_LT(seen, 5000);
  EXPECT_EQ(reader.result().failure, LoadFailure::kNotWellFormed);
}

TEST(XmlStream, Utf16AndByteOrderMarkedFilesAreRead) {
  const std::string utf8 = "<?xml version='1.0' encoding='UTF-16'?><root><info a='张'/></root>";
  auto utf16 = ConvertText(utf8, "UTF-16", "UTF-8");  // with a byte-order mark
  ASSERT_TRUE(utf16);
  EXPECT_EQ(StreamedAgain(*utf16), test::TreeSavedAgain(*utf16));
  const std::string bom = "\xEF\xBB\xBF<root><info a='张'/></root>";
  EXPECT_EQ(StreamedAgain(bom), test::TreeSavedAgain(bom));
}

TEST(XmlStream, ANameTheEncodingCannotCarryIsRefusedAndLeavesNothing) {
  XmlFrame frame;
  ASSERT_TRUE(records::RecordFrame(frame));
  XmlItemWriter writer;
  std::string out;
  EXPECT_TRUE(writer.Begin(frame, [&out](std::string_view b) { out.append(b); }));
  auto bad = XmlItem::Element("info");
  bad.SetAttribute("名😀", "x");
  const auto refused = writer.Write(bad);
  EXPECT_FALSE(refused);
  EXPECT_NE(refused.why.find("cannot be written in GBK"), std::string::npos) << refused.why;
  auto good = XmlItem::Element("info");
  good.SetAttribute("名", "x");  // Chinese names are fine in GBK
  EXPECT_TRUE(writer.Write(good));
  EXPECT_TRUE(writer.End());
  EXPECT_EQ(out.find("\xF0\x9F"), std::string::npos);
  XmlDocument back;
  ASSERT_TRUE(back.LoadXML(out));
  EXPECT_EQ(back.SelectNodes("root/info").size(), 1u);
}

TEST(XmlStream, PrivateUseCharactersAreWrittenAsReferencesOnEveryPlatform) {
  XmlFrame frame;
  ASSERT_TRUE(records::RecordFrame(frame));
  XmlItemWriter writer;
  std::string out;
  EXPECT_TRUE(writer.Begin(frame, [&out](std::string_view b) { out.append(b); }));
  auto info = XmlItem::Element("info");
  info.SetAttribute("Make", "\uE000\uF8F5\u4E2D\u20AC");
  EXPECT_TRUE(writer.Write(info));
  EXPECT_TRUE(writer.End());
  EXPECT_NE(out.find("Make=\"&#57344;&#63733;\xD6\xD0\x80\""), std::string::npos) << out;
}

TEST(XmlStream, MarksTakeBackWhatWasWrittenSince) {
  XmlFrame frame;
  ASSERT_TRUE(records::RecordFrame(frame));
  XmlItemWriter writer;
  std::string out;
  EXPECT_TRUE(writer.Begin(frame, [&out](std::string_view b) { out.append(b); }));
  const auto mark = writer.GetMark();
  const std::size_t size = out.size();
  EXPECT_TRUE(writer.Write(XmlItem::Element("info")));
  (void)writer.GetMark();  // the element reaches the sink
  writer.Restore(mark);
  out.resize(size);
  EXPECT_TRUE(writer.End());
  EXPECT_EQ(out, LibraryFile(0));
}

TEST(XmlStream, FilesAreReadWholeOrNotAtAll) {
  TempDir dir;
  const std::string file = LibraryFile(3);
  test::Write(dir / "exifinfo.xml", file);
  XmlItemReader reader;
  ASSERT_TRUE(reader.Open(test::At(dir / "exifinfo.xml")));
  XmlItem item;
  int n = 0;
  while (reader.Next(item)) ++n;
  EXPECT_TRUE(reader.result());
  EXPECT_EQ(n, 3);
  EXPECT_EQ(reader.Open(test::At(dir / "missing.xml")).failure, LoadFailure::kMissing);
  EXPECT_EQ(reader.Open(test::At(dir / "exifinfo.xml"), 10).failure, LoadFailure::kTooLarge);
}

}  // namespace
}  // namespace picmeta::platform
