#include "records/formats.h"

#include <gtest/gtest.h>

#include "platform/os/clock.h"
#include "tests/support.h"

namespace picmeta::records {
namespace {

TEST(Formats, MidCountsCharactersNotBytes) {
  EXPECT_EQ(Mid("ABCDEFGHIJKLMNOP", 1, 7), "ABCDEFG");
  EXPECT_EQ(Mid("ABCDEFGHIJKLMNOP", 8, 6), "HIJKLM");
  EXPECT_EQ(Mid("ABCDEFGHIJKLMNOP", 14, 3), "NOP");
  EXPECT_EQ(Mid("ABCDE", 8, 6), "");
  EXPECT_EQ(Mid("ABCDEFGHIJ", 8, 6), "HIJ");
  EXPECT_EQ(Mid("机构代码一二三四", 2, 3), "构代码");
}

TEST(Formats, TrimBlanksRemovesOnlySpacesAtTheEnds) {
  EXPECT_EQ(TrimBlanks("  a b  "), "a b");
  EXPECT_EQ(TrimBlanks("\tx\t"), "\tx\t");
  EXPECT_EQ(TrimBlanks(std::string("Canon \0", 7)), std::string("Canon \0", 7));
  EXPECT_EQ(TrimBlanks("    "), "");
}

TEST(Formats, DatesUseLocalTimeAndTheGeneralDateDropsMidnight) {
  test::FixedClock beijing;
  const std::time_t t = 1312160707;  // 2011-08-01 01:05:07 UTC = 09:05:07 in Beijing
  EXPECT_EQ(FormatTransdate(t), "2011:08:01 09:05:07");
  EXPECT_EQ(FormatStamp(t), "20110801090507");
  EXPECT_EQ(FormatGeneralDate(t), "2011/8/1 9:05:07");
  EXPECT_EQ(FormatGeneralDate(1312128000), "2011/8/1");  // local midnight
  EXPECT_EQ(FormatGeneralDate(1312128001), "2011/8/1 0:00:01");
}

}  // namespace
}  // namespace picmeta::records
