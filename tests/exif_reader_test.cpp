#include "reader/exif_reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <variant>

#include "tests/support.h"
#include "tools/exif_builder.h"

namespace picmeta::reader {
namespace {

using tooling::Ascii;
using tooling::ByteWriter;
using tooling::Entry;
using tooling::Ifd;
using tooling::Long;
using tooling::Order;
using tooling::Short;
using tooling::TiffLayout;

const TagValue kEmpty = std::monostate{};
TagValue Int(std::int32_t v) { return v; }
TagValue Text(std::string s) { return s; }
std::string Nul(std::string s) { return s + std::string(1, '\0'); }

// A reader over bytes written to a file of its own.
class ReaderTest : public ::testing::Test {
 protected:
  std::string Put(const std::string& bytes, const std::string& name = "p.jpg") {
    const std::string path = dir_ / name;
    test::Write(path, bytes);
    return path;
  }
  ExifReader& LoadBytes(const std::string& bytes) {
    reader_.Load(Put(bytes));
    return reader_;
  }
  test::TempDir dir_;
  ExifReader reader_;
};

class BothOrders : public ReaderTest, public ::testing::WithParamInterface<Order> {
 protected:
  Order order() const { return GetParam(); }
  bool intel() const { return GetParam() == Order::kIntel; }
  // One directory (IFD0) of the given entries, nothing chained.
  ExifReader& LoadIfd0(std::vector<Entry> entries) {
    TiffLayout t;
    t.order = order();
    t.chain = {Ifd{std::move(entries)}};
    return LoadBytes(tooling::BuildJpeg(tooling::BuildTiff(t)));
  }
  Entry Raw(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::string inline4) {
    return Entry{tag, type, count, std::move(inline4), std::nullopt};
  }
};

INSTANTIATE_TEST_SUITE_P(ByteOrder, BothOrders, ::testing::Values(Order::kIntel, Order::kMotorola),
                         [](const auto& info) {
                           return info.param == Order::kIntel ? "II" : "MM";
                         });

TEST_F(ReaderTest, NewReaderAnswersEmptyWithoutReadingAnything) {
  EXPECT_FALSE(reader_.Getloaded());
  EXPECT_EQ(reader_.Tag(0x010F), kEmpty);
  reader_.Load("");
  EXPECT_FALSE(reader_.Getloaded());
  EXPECT_EQ(reader_.picFile(), "");
}

TEST_P(BothOrders, HeaderPositionsAndByteOrder) {
  auto& r = LoadIfd0({Short(0x0112, 1)});
  EXPECT_TRUE(r.Getloaded());
  EXPECT_EQ(r.app1Pos(), 2);
  EXPECT_EQ(r.tiffStart(), 12);
  EXPECT_EQ(r.IsIntelOrder(), intel());
  EXPECT_EQ(r.Read32(16), 8);  // IFD0 offset: the walk started at index 20
  EXPECT_EQ(r.Read16(20), 1);
  EXPECT_EQ(r.Tag(0x0112), Int(1));
}

TEST_P(BothOrders, App0BeforeApp1IsSkippedUnlessItHoldsAStrayPair) {
  TiffLayout t;
  t.order = order();
  t.chain = {Ifd{{Short(0x0112, 3)}}};
  tooling::JpegOptions o;
  o.app0_before = true;
  EXPECT_EQ(LoadBytes(tooling::BuildJpeg(tooling::BuildTiff(t), o)).Tag(0x0112), Int(3));

  ExifReader second;
  o.app0_payload = "\xFF\xE1thumbnail";
  second.Load(Put(tooling::BuildJpeg(tooling::BuildTiff(t), o), "stray.jpg"));
  EXPECT_FALSE(second.Getloaded());
  EXPECT_EQ(second.app1Pos(), 2 + 2 + 16);  // the stray pair inside APP0
}

TEST_F(ReaderTest, FilesWithoutAnExifBlock) {
  auto& r = LoadBytes(tooling::BuildJfif());
  EXPECT_FALSE(r.Getloaded());
  EXPECT_EQ(r.app1Pos(), 0);  // no pair: bytes 4 to 7 ("JFIF") were compared
  EXPECT_EQ(r.Tag(0), kEmpty);
  EXPECT_THROW(r.Tag(0x010F), SubscriptOutOfRange);

  for (const std::string& bytes :
       {std::string("II*\0\x08\0\0\0", 8), std::string("\xFF\x00\xFF\xE1", 4),
        std::string("\x00\xD8\xFF\xE1", 4), std::string("\xFF")}) {
    ExifReader other;
    other.Load(Put(bytes, "x.bin"));
    EXPECT_FALSE(other.Getloaded());
  }
  ExifReader upper;
  upper.Load(Put(std::string("\xFF\xD8\xFF\xE1\0\x10"
                             "EXIF\0\0II*\0\x08\0\0\0\0\0",
                             22),
                 "u.jpg"));
  EXPECT_FALSE(upper.Getloaded());
}

TEST_F(ReaderTest, FilesTooShortForTheHeaderFailWithSubscriptOutOfRange) {
  EXPECT_THROW(LoadBytes(""), SubscriptOutOfRange);
  ExifReader six, seven;
  EXPECT_THROW(six.Load(Put(std::string("\xFF\xD8\0\0\0\0", 6), "6.jpg")), SubscriptOutOfRange);
  seven.Load(Put(std::string("\xFF\xD8\0\0\0\0\0", 7), "7.jpg"));  // index 7 is the spare byte
  EXPECT_FALSE(seven.Getloaded());
  ExifReader near_end;
  EXPECT_THROW(near_end.Load(Put(std::string("\xFF\xD8\0\xFF\xE1"
                                             "Ex",
                                             7),
                                 "e.jpg")),
               SubscriptOutOfRange);
}

TEST_F(ReaderTest, ByteOrderMarkOnlyLooksAtTheFirstLetter) {
  // "ii" reads big-endian: only 0x49 means little-endian.
  ByteWriter w(Order::kMotorola);
  w.Raw("ii");
  w.U16(42);
  w.U32(8);
  w.U16(1);
  w.U16(0x0112), w.U16(3), w.U32(1), w.U16(8), w.U16(0);
  w.U32(0);
  auto& r = LoadBytes(tooling::BuildJpeg(w.bytes()));
  EXPECT_FALSE(r.IsIntelOrder());
  EXPECT_EQ(r.Tag(0x0112), Int(8));
}

TEST_F(ReaderTest, TextHelpers) {
  EXPECT_EQ(PadLeft("A", 2, "0"), "0A");
  EXPECT_EQ(PadLeft("1F", 2, "0"), "1F");
  EXPECT_EQ(PadLeft("ABC", 2, "0"), "ABC");
  EXPECT_EQ(PadLeft("x", 3, "ab"), "aax");
  EXPECT_EQ(HexPair(0), "00");
  EXPECT_EQ(HexPair(10), "0A");
  EXPECT_EQ(HexPair(255), "FF");
}

TEST_P(BothOrders, Read32RejectsValuesOf2To31AndMore) {
  ByteWriter w(order());
  w.Raw(intel() ? "II" : "MM");
  w.U16(42);
  w.U32(8);
  w.U16(0);
  w.U32(0);
  w.U32(65536);
  w.U32(0x80000000u);
  auto& r = LoadBytes(tooling::BuildJpeg(w.bytes()));
  EXPECT_EQ(r.Read32(12 + 14), 65536);
  EXPECT_THROW(r.Read32(12 + 18), OverflowError);
  EXPECT_THROW(r.Read16(100000), SubscriptOutOfRange);
}

TEST_P(BothOrders, TypicalCameraPicture) {
  tooling::CameraPicture p;
  p.order = order();
  auto& r = LoadBytes(tooling::BuildCameraJpeg(p));
  ASSERT_TRUE(r.Getloaded());
  // IFD0 (9 + the Exif pointer), IFD1 (6), Exif IFD (12), in walk order.
  EXPECT_EQ(r.Tag(0), Int(28));
  EXPECT_EQ(r.Record(1).TagId, 0x010F);
  EXPECT_EQ(r.Record(11).TagId, 0x0103);
  EXPECT_EQ(r.Record(17).TagId, 0x829A);
  EXPECT_EQ(r.Tag(0x010F), Text(Nul("Canon")));
  EXPECT_EQ(r.Tag(0x0112), Int(1));
  EXPECT_EQ(r.Tag(0x011A), kEmpty);  // RATIONAL: offset only
  EXPECT_GT(r.Record(4).ValueOffset, 0);
  EXPECT_EQ(r.Tag(0x8769), Int(r.exifIfdOffset()));
  EXPECT_EQ(r.Tag(0x9003), Text(Nul("2011:08:01 09:05:07")));
  EXPECT_EQ(r.Tag(0xA005), Int(0x0400));
  // Present in IFD0 and IFD1: answered from IFD0.
  EXPECT_EQ(r.Tag(0x011A), kEmpty);
  EXPECT_EQ(r.Tag(0x0128), Int(2));
  // JPEGInterchangeFormat points at the thumbnail's SOI, whose EOI lies
  // JPEGInterchangeFormatLength bytes on.
  const auto thumb = std::get<std::int32_t>(r.Tag(0x0201));
  EXPECT_EQ(r.Tag(0x0202), Int(2048));
  const std::string file = test::Read(dir_ / "p.jpg");
  EXPECT_EQ(file.substr(r.tiffStart() + thumb, 2), "\xFF\xD8");
  EXPECT_EQ(file.substr(r.tiffStart() + thumb + 2048 - 2, 2), "\xFF\xD9");
  EXPECT_EQ(r.Tag(0x1234), kEmpty);
}

TEST_P(BothOrders, DirectoryCountsAddUpAndChainedDirectoriesComeBeforeTheExifIfd) {
  TiffLayout t;
  t.order = order();
  Ifd ifd0, ifd1, ifd2, exif;
  for (int i = 0; i < 9; ++i) ifd0.entries.push_back(Short(0x0100 + i, i));
  ifd0.entries.push_back(Short(0x0300, 7));
  for (int i = 0; i < 6; ++i) ifd1.entries.push_back(Short(0x0300 + i, 100 + i));
  ifd2.entries.push_back(Short(0x0400, 5));
  for (int i = 0; i < 20; ++i) exif.entries.push_back(Short(0x9000 + i, i));
  t.chain = {ifd0, ifd1, ifd2};
  t.exif = exif;
  auto& r = LoadBytes(tooling::BuildJpeg(tooling::BuildTiff(t)));
  EXPECT_EQ(r.Tag(0), Int(10 + 1 + 6 + 1 + 20));  // IFD0 gained the 0x8769 entry
  EXPECT_EQ(r.Tag(0x0300), Int(7));               // IFD0 wins over IFD1
  EXPECT_EQ(r.Tag(0x0301), Int(101));
  EXPECT_EQ(r.Record(18).TagId, 0x0400);  // IFD2 before the Exif IFD
  EXPECT_EQ(r.Record(19).TagId, 0x9000);

  r.Load("ignored: picFile is already set");
  EXPECT_EQ(r.Tag(0), Int(76));
  EXPECT_EQ(r.Tag(0x0301), Int(101));
}

TEST_P(BothOrders, OnlyIfd0WhenThereIsNoPointerAndNoNext) {
  auto& r = LoadIfd0({Short(0x0112, 1), Long(0x8825, 0x200)});
  EXPECT_EQ(r.Tag(0), Int(2));
  EXPECT_EQ(r.Tag(0x8825), Int(0x200));  // GPS pointer: a plain value, not walked
  EXPECT_EQ(r.exifIfdOffset(), 0);
}

TEST_P(BothOrders, ValueDecodingTable) {
  auto& r = LoadIfd0({
      Raw(1, 1, 4, "\x01\x02\x03\x04"),
      tooling::Bytes(2, std::string("\x01\x02\x1E\x00\x07", 5)),
      Raw(3, 2, 4, std::string("ABC\0", 4)),
      Raw(4, 2, 1, std::string("Z\0\0\0", 4)),
      Raw(5, 2, 0, "WXYZ"),
      Raw(6, 3, 1, intel() ? std::string("\x06\0\0\0", 4) : std::string("\0\x06\0\0", 4)),
      Raw(7, 3, 2, intel() ? std::string("\x01\0\x02\0", 4) : std::string("\0\x01\0\x02", 4)),
      Entry{8, 3, 3, std::string("\x01\x02\x03\0\0\0", 6), std::nullopt},
      Entry{9, 4, 2, std::string("\x0A\0\0\0\x0B\0\0\0", 8), std::nullopt},
      Raw(10, 11, 1, "abcd"),
      Raw(11, 12, 1, "abcd"),
      Raw(12, 7, 3, std::string("\xE9\0x\0", 4)),
      Raw(13, 6, 1, "\xFF\0\0\0"),
      Raw(14, 8, 1, std::string("\xFF\0\0\0", 4)),
      Entry{15, 7, 6, std::string("\xE9t\xE9\0\x01\x02", 6), std::nullopt},
  });
  const std::string hex = intel() ? "04030201" : "01020304";
  EXPECT_EQ(r.Tag(1), Text(hex));
  EXPECT_EQ(r.Tag(2), Text("1230"
                           "0"
                           "7"));
  EXPECT_EQ(r.Tag(3), Text(Nul("ABC")));
  EXPECT_EQ(r.Tag(4), Text(std::string("Z\0\0\0", 4)));
  EXPECT_EQ(r.Tag(5), Text("WXYZ"));
  EXPECT_EQ(r.Tag(6), Int(6));
  EXPECT_EQ(r.Tag(7), Int(3));
  EXPECT_EQ(r.Tag(8), Text(intel() ? "123" : "321"));
  EXPECT_EQ(r.Tag(9), Text("100"));  // the first Count bytes (0A 00), not the elements
  EXPECT_EQ(r.Tag(10), kEmpty);
  EXPECT_EQ(r.Record(10).FieldType, 11);
  EXPECT_EQ(r.Record(10).Count, 1);
  EXPECT_EQ(r.Record(10).ValueOffset, 0);
  EXPECT_EQ(r.Tag(11), kEmpty);
  EXPECT_EQ(r.Tag(12), Text(std::string("é\0x\0", 5)));
  EXPECT_EQ(r.Tag(13), Text(intel() ? "000000FF" : "FF000000"));
  EXPECT_EQ(r.Tag(14), Int(intel() ? 0x00FF : 0xFF00));  // the same bytes, read in the file's order
  EXPECT_EQ(r.Tag(15), Text(std::string("\xC3\xA9t\xC3\xA9\0\x01\x02", 8)));
}

TEST_P(BothOrders, OverflowPartWayKeepsTheReaderLoadedWithEarlierRecords) {
  const std::string big = intel() ? std::string("\0\0\0\x80", 4) : std::string("\x80\0\0\0", 4);
  TiffLayout t;
  t.order = order();
  t.chain = {Ifd{{Short(0x0112, 1), Entry{0x0100, 4, 1, big, std::nullopt}, Short(0x0101, 2)}}};
  ExifReader& r = reader_;
  EXPECT_THROW(r.Load(Put(tooling::BuildJpeg(tooling::BuildTiff(t)))), OverflowError);
  EXPECT_TRUE(r.Getloaded());
  EXPECT_EQ(r.Tag(0x0112), Int(1));
  EXPECT_EQ(r.Tag(0), Int(3));  // sized per directory before decoding
  EXPECT_EQ(r.Record(2).TagId, 0x0100);
  EXPECT_EQ(r.Tag(0x0101), kEmpty);
}

TEST_P(BothOrders, ExifPointerOfAnUndecodedOrTextTypeIsNotFollowed) {
  auto& r = LoadIfd0({Raw(0x8769, 13, 1, "\0\0\0\x08")});
  EXPECT_EQ(r.exifIfdOffset(), 0);
  EXPECT_EQ(r.Tag(0), Int(1));
  ExifReader text;
  TiffLayout t;
  t.order = order();
  t.chain = {Ifd{{Ascii(0x8769, "abc")}}};
  EXPECT_THROW(text.Load(Put(tooling::BuildJpeg(tooling::BuildTiff(t)), "t.jpg")), TypeMismatch);
  EXPECT_TRUE(text.Getloaded());
}

TEST_P(BothOrders, MissingFileFailsLoadAndLaterLookups) {
  reader_.picFile(dir_ / "missing.jpg");
  EXPECT_THROW(reader_.Load("other.jpg"), FileError);
  EXPECT_FALSE(reader_.Getloaded());
  EXPECT_THROW(reader_.Tag(0x010F), FileError);
}

TEST_P(BothOrders, PicFileWinsOverTheLoadArgumentAndTagLoadsOnFirstUse) {
  LoadIfd0({Short(0x0112, 6)});
  ExifReader r;
  const std::string a = dir_ / "p.jpg";
  r.picFile(a);
  EXPECT_EQ(r.Tag(0x0112), Int(6));
  EXPECT_TRUE(r.Getloaded());
  ExifReader s;
  s.picFile(a);
  s.Load(dir_ / "missing.jpg");
  EXPECT_EQ(s.picFile(), a);
  EXPECT_TRUE(s.Getloaded());
}

// A file that ends with its TIFF block.
std::string App1Only(const std::string& tiff) {
  return std::string(
             "\xFF\xD8\xFF\xE1\x00\x30"
             "Exif\0\0",
             12) +
         tiff;
}

TEST_P(BothOrders, ADirectoryRunningPastTheEndKeepsWhatFits) {
  const std::string tiff = tooling::HandTiff(order(), [](ByteWriter& w) {
    w.U16(5);  // five entries announced, two present
    w.U16(0x0112), w.U16(3), w.U32(1), w.U16(1), w.U16(0);
    w.U16(0x0128), w.U16(3), w.U32(1), w.U16(2), w.U16(0);
  });
  EXPECT_THROW(LoadBytes(App1Only(tiff)), SubscriptOutOfRange);
  EXPECT_EQ(reader_.Tag(0x0112), Int(1));
  EXPECT_EQ(reader_.Tag(0x0128), Int(2));
  EXPECT_EQ(reader_.Tag(0), Int(5));
}

TEST_P(BothOrders, ValuePastTheEndFailsAndKeepsThePartThatFits) {
  const std::string tiff = tooling::HandTiff(order(), [](ByteWriter& w) {
    w.U16(1);
    w.U16(0x010F), w.U16(2), w.U32(100), w.U32(26);  // 100 bytes just after the directory
    w.U32(0);
    w.Raw("Nikon");
  });
  EXPECT_THROW(LoadBytes(App1Only(tiff)), SubscriptOutOfRange);
  EXPECT_EQ(reader_.Tag(0x010F), Text(Nul("Nikon")));  // up to the spare zero byte
  EXPECT_EQ(reader_.Record(1).ValueOffset, 26);
}

TEST_P(BothOrders, DirectoryLoopsEndTheChainAndTheExifIfdIsWalkedOnce) {
  // IFD0 at 8 -> IFD1 at 26 -> back to IFD0; the Exif IFD at 44 points at IFD0.
  const std::string tiff = tooling::HandTiff(order(), [](ByteWriter& w) {
    w.U16(1), w.U16(0x8769), w.U16(4), w.U32(1), w.U32(44), w.U32(26);
    w.U16(1), w.U16(0x0201), w.U16(4), w.U32(1), w.U32(7), w.U32(8);
    w.U16(1), w.U16(0x9003), w.U16(4), w.U32(1), w.U32(9), w.U32(8);
  });
  auto& r = LoadBytes(tooling::BuildJpeg(tiff));
  EXPECT_EQ(r.Tag(0), Int(3));
  EXPECT_EQ(r.Tag(0x0201), Int(7));
  EXPECT_EQ(r.Tag(0x9003), Int(9));
}

TEST_P(BothOrders, OverlappingHugeDirectoriesCannotMultiplyRecords) {
  // 64 KB of directories each claiming 65535 entries, chained two bytes apart.
  const std::string tiff = tooling::HandTiff(order(), [&](ByteWriter& w) {
    while (w.size() < 64 * 1024) w.U16(0xFFFF);
  });
  try {
    LoadBytes(tooling::BuildJpeg(tiff));
  } catch (const ExifError&) {
  }
  // Records are sized per directory walked; the walk reads at most 2 L / 12 + 16 entries.
  EXPECT_LE(reader_.RecordCount(), 2 * 65535u + 2 * (64 * 1024 + 200) / 12 + 16);
}

TEST_P(BothOrders, ManyEntriesPointingAtOneLargeValueStayCheap) {
  // 5000 entries each naming the same 50 KB value: stored once, decoded on demand.
  const std::string tiff = tooling::HandTiff(order(), [&](ByteWriter& w) {
    const std::uint32_t value_at = 8 + 2 + 12 * 5000 + 4;
    w.U16(5000);
    for (int i = 0; i < 5000; ++i) w.U16(0x927C), w.U16(7), w.U32(50000), w.U32(value_at);
    w.U32(0);
    w.Raw(std::string(50000, 'x'));
  });
  auto& r = LoadBytes(App1Only(tiff));
  EXPECT_EQ(r.Tag(0), Int(5000));
  EXPECT_EQ(std::get<std::string>(r.Tag(0x927C)).size(), 50000u);
}

TEST_F(ReaderTest, ALargePictureCostsOnlyTheBlocksItsExifBlockNeeds) {
  tooling::CameraPicture p;
  p.image_bytes = 20 << 20;
  auto& r = LoadBytes(tooling::BuildCameraJpeg(p));
  for (const std::int32_t tag : {0x010F, 0x0110, 0x9003, 0x9004, 0x0132, 0x0131, 0x8769, 0xA005,
                                 0x0201, 0x0107, 0x0108, 0x0109, 0x010A})
    (void)r.Tag(tag);
  EXPECT_EQ(r.Tag(0x010F), Text(Nul("Canon")));
  EXPECT_LE(r.BytesRead(), 16 * 1024);  // of 20 MiB
}

TEST_F(ReaderTest, RealPicturesFromPhonesAndCameras) {
  PICMETA_NEED_REAL_PICTURES();
  struct Case {
    const char* file;
    std::int32_t tag;
    TagValue value;
  };
  const Case cases[] = {
      {"test1.jpg", 0x010F, Text(Nul("Apple"))},
      {"test1.jpg", 0x0110, Text(Nul("iPhone 4S"))},
      {"short-ascii-MM.jpg", 0x010F, Text(Nul("Canon"))},
      {"short-ascii-II.jpg", 0x010F, Text(Nul("XIAOMI"))},
      // Cross-checked with exiftool -n, whose ThumbnailOffset counts from the
      // start of the file rather than from the TIFF header (at 30, 30 and 12).
      {"test1.jpg", 0x9003, Text(Nul("2013:02:06 16:00:03"))},
      {"test1.jpg", 0x0131, Text(Nul("6.1"))},
      {"test1.jpg", 0x0201, Int(906 - 30)},
      {"short-ascii-MM.jpg", 0x0201, Int(1306 - 30)},
      {"short-ascii-MM.jpg", 0x0110, Text(Nul("S40"))},
      {"short-ascii-II.jpg", 0x0201, Int(3171 - 12)},
      {"short-ascii-II.jpg", 0x0132, Text(Nul("2015:02:28 17:10:49"))},
  };
  for (const auto& c : cases) {
    ExifReader r;
    r.Load(test::RealPicture(c.file));
    EXPECT_TRUE(r.Getloaded()) << c.file;
    EXPECT_EQ(r.Tag(c.tag), c.value) << c.file;
  }
}

}  // namespace
}  // namespace picmeta::reader

namespace picmeta::reader {
namespace {

// IFD0 holds only an Exif IFD pointer of type ASCII whose four bytes are the
// text given; an Exif IFD at offset 26 holds DateTimeOriginal as the LONG 9.
std::string PointerAsText(Order order, const std::string& text) {
  return tooling::BuildJpeg(tooling::HandTiff(order, [&](ByteWriter& w) {
    w.U16(1), w.U16(0x8769), w.U16(2), w.U32(4), w.Raw(text), w.U32(0);
    w.U16(1), w.U16(0x9003), w.U16(4), w.U32(1), w.U32(9), w.U32(0);
  }));
}

TEST_P(BothOrders, AnExifPointerAsTextConvertsFromDigitsOnly) {
  auto& r = LoadBytes(PointerAsText(order(), "0026"));  // leading zeros are fine
  EXPECT_EQ(r.exifIfdOffset(), 26);
  EXPECT_EQ(r.Tag(0x9003), Int(9));
  for (const std::string text : {" 026", "26  ", "+026", "-008", "2 6 "}) {
    ExifReader other;
    EXPECT_THROW(other.Load(Put(PointerAsText(order(), text), "t.jpg")), TypeMismatch) << text;
    EXPECT_TRUE(other.Getloaded());
    EXPECT_EQ(other.Tag(0), Int(1)) << text;  // the Exif IFD was not walked
  }
}

// An Exif IFD pointer of an out-of-line type whose value is `bytes`
// (placed after IFD0 and a 4-byte gap), followed by nothing to walk.
std::string PointerValueOf(Order order, std::uint16_t type, const std::string& bytes) {
  return App1Only(tooling::HandTiff(order, [&](ByteWriter& w) {
    const std::uint32_t count = type == 3 ? static_cast<std::uint32_t>(bytes.size() / 2)
                                          : static_cast<std::uint32_t>(bytes.size());
    w.U16(1), w.U16(0x8769), w.U16(type), w.U32(count), w.U32(8 + 2 + 12 + 4), w.U32(0);
    w.Raw(bytes);
  }));
}

// What converting the pointer's text must give, found the plain way: the
// decoded text, digit by digit.
std::variant<std::int32_t, std::string> Expected(const std::string& text) {
  if (text.empty()) return std::string("type mismatch");
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::string("type mismatch");
    value = value * 10 + (c - '0');
    if (value > 0x7FFFFFFF) return std::string("overflow");
  }
  return static_cast<std::int32_t>(value);
}

// Long pointer values are converted through runs of digits, not decoded: the
// outcome must be the plain conversion's, for texts, byte arrays (decimal
// digits of each byte) and SHORT arrays (their bytes read backwards in a
// big-endian file).
TEST_P(BothOrders, ALongExifPointerConvertsAsItsTextWould) {
  std::mt19937 random(99);
  std::vector<std::pair<std::uint16_t, std::string>> values;
  for (const std::string& text :
       {std::string(3000, '0') + "26", std::string(3000, '0'),
        std::string(3000, '0') + "2147483647", std::string(3000, '0') + "2147483648",
        std::string(70000, '0') + "7", "12345678901" + std::string(10, '0'),
        std::string(500, '0') + "1x", std::string(500, '0') + std::string(1, '\0'),
        std::string("00000\x80")})
    values.emplace_back(2, text);
  for (int k = 0; k < 300; ++k) {
    std::string bytes(6 + random() % 40, '\0');
    for (char& b : bytes) {
      const int kind = static_cast<int>(random() % 4);
      b = static_cast<char>(kind == 0   ? 0
                            : kind == 1 ? '0'
                            : kind == 2 ? '0' + random() % 10
                                        : random() % 256);
    }
    if (random() % 2) bytes = std::string(random() % 3000, '\0') + bytes;
    values.emplace_back(static_cast<std::uint16_t>(1 + 2 * (random() % 2)),
                        bytes);  // BYTE or SHORT
    values.emplace_back(2, bytes);
  }
  for (const auto& [type, bytes] : values) {
    if (type == 3 && bytes.size() % 2) continue;
    ExifReader probe;  // the text as the walk would decode it
    TiffLayout plain;
    plain.order = order();
    plain.chain = {Ifd{{Entry{0x0100, type, 0, bytes, std::nullopt}}}};
    plain.chain[0].entries[0].count = type == 3 ? bytes.size() / 2 : bytes.size();
    probe.Load(Put(tooling::BuildJpeg(tooling::BuildTiff(plain)), "probe.jpg"));
    const auto text = std::get<std::string>(probe.Tag(0x0100));
    ExifReader r;
    std::string outcome = "loaded";
    try {
      r.Load(Put(PointerValueOf(order(), type, bytes), "p.jpg"));
    } catch (const OverflowError&) {
      outcome = "overflow";
    } catch (const TypeMismatch&) {
      outcome = "type mismatch";
    } catch (const SubscriptOutOfRange&) {
      outcome = "walked past the end";  // a pointer that converted, then was followed
    }
    if (text.size() >= 65537) continue;  // beyond what Tag decodes: checked on its own below
    const auto want = Expected(text);
    if (const auto* n = std::get_if<std::int32_t>(&want)) {
      // Converted: the pointer holds it (following it may fail afterwards).
      EXPECT_EQ(r.exifIfdOffset(), *n) << "type " << type << ", " << bytes.size() << " bytes";
      if (*n == 0) {
        EXPECT_EQ(outcome, "loaded") << "type " << type << ", " << bytes.size() << " bytes";
      }
    } else {
      EXPECT_EQ(outcome, std::get<std::string>(want))
          << "type " << type << ", " << bytes.size() << " bytes";
      EXPECT_EQ(r.exifIfdOffset(), 0);
    }
  }
  // 70000 zeros and a 7: seven, without the text being decoded.
  ExifReader r;
  try {
    r.Load(Put(PointerValueOf(order(), 2, std::string(70000, '0') + "7"), "long.jpg"));
  } catch (const SubscriptOutOfRange&) {
  }
  EXPECT_EQ(r.exifIfdOffset(), 7);
}

TEST_P(BothOrders, AnOverCountedExifIfdKeepsItsRealEntries) {
  tooling::CameraPicture p;
  p.order = order();
  std::string bytes = tooling::BuildCameraJpeg(p);
  ExifReader probe;
  probe.Load(Put(bytes, "probe.jpg"));
  const std::size_t count_at = probe.tiffStart() + probe.exifIfdOffset();
  bytes[count_at] = '\xFF';  // 65535 entries in either byte order
  bytes[count_at + 1] = '\xFF';
  try {
    LoadBytes(bytes);
  } catch (const ExifError&) {
    // the entries past the real ones are image data: they end the walk
  }
  EXPECT_TRUE(reader_.Getloaded());
  EXPECT_EQ(reader_.Tag(0x9003), Text(Nul("2011:08:01 09:05:07")));
  EXPECT_EQ(reader_.Tag(0x9004), Text(Nul("2011:08:01 09:05:07")));
  EXPECT_EQ(reader_.Tag(0xA005), Int(0x0400));
  EXPECT_EQ(reader_.Tag(0), Int(10 + 6 + 65535));
}

TEST_P(BothOrders, AnOverCountedExifIfdBeforeIfd1KeepsItsRealEntries) {
  // IFD0 at 8 (ten entries) points at the Exif IFD at 134 and chains to IFD1
  // at 176 behind it; the Exif IFD's count says 65535 where it holds 3, and
  // zero bytes follow IFD1.
  const std::string tiff = tooling::HandTiff(order(), [](ByteWriter& w) {
    w.U16(10);
    for (int i = 0; i < 9; ++i) w.U16(0x0100 + i), w.U16(3), w.U32(1), w.U16(i), w.U16(0);
    w.U16(0x8769), w.U16(4), w.U32(1), w.U32(134), w.U32(176);
    w.U16(0xFFFF);
    w.U16(0x9003), w.U16(4), w.U32(1), w.U32(9), w.U16(0x9004), w.U16(4), w.U32(1), w.U32(10);
    w.U16(0xA005), w.U16(4), w.U32(1), w.U32(11);
    w.U32(0);
    w.U16(2), w.U16(0x0201), w.U16(4), w.U32(1), w.U32(7), w.U16(0x0202), w.U16(4), w.U32(1),
        w.U32(8), w.U32(0);
    w.Zeros(4000);
  });
  EXPECT_THROW(LoadBytes(App1Only(tiff)), SubscriptOutOfRange);  // entries run off the end
  EXPECT_EQ(reader_.Tag(0x9003), Int(9));
  EXPECT_EQ(reader_.Tag(0x9004), Int(10));
  EXPECT_EQ(reader_.Tag(0xA005), Int(11));
  EXPECT_EQ(reader_.Tag(0x0201), Int(7));  // IFD1, walked before the Exif IFD
  EXPECT_EQ(reader_.Tag(0x0108), Int(8));
  EXPECT_EQ(reader_.Tag(0), Int(10 + 2 + 65535));
}

}  // namespace
}  // namespace picmeta::reader
