// Release, file-name record, angle and modifier helpers.
#include <gtest/gtest.h>

#include <string>

#include "RZMCoreFunctions.h"
#include "stringEngine.h"

namespace {

TEST(Helpers, FileNameRecordsCutAt255Units) {
  std::u16string longName(300, u'n');
  longName[254] = 0xD83D;  // a pair split by the cut
  longName[255] = 0xDCF7;
  CFStringRef s = ORBStringFromUTF16(reinterpret_cast<const UniChar*>(longName.data()), 300);
  HFSUniStr255 rec{};
  utMakeHFSStringFromCFString(s, &rec);
  EXPECT_EQ(rec.length, 255);
  EXPECT_EQ(rec.unicode[254], 0xD83D);
  CFStringRef back = nullptr;
  utMakeCFStringFromHFSString(&rec, &back);
  CFStringRef first = ORBStringCreateWithSubstring(s, 0, 255);
  EXPECT_TRUE(CFEqual(back, first));
  ORBStringRelease(&back);
  ORBStringRelease(&first);
  ORBStringRelease(&s);

  rec.length = 9;
  utMakeHFSStringFromCFString(nullptr, &rec);
  EXPECT_EQ(rec.length, 0);
  utMakeCFStringFromHFSString(&rec, &back);
  EXPECT_EQ(CFStringGetLength(back), 0);
  ORBStringRelease(&back);
  rec.length = 300;  // a corrupt record is refused, not read past its end
  utMakeCFStringFromHFSString(&rec, &back);
  EXPECT_EQ(back, nullptr);
}

TEST(Helpers, RadiansReleaseAndModifiers) {
  EXPECT_EQ(radians(180.0), 3.141592653589793);
  EXPECT_EQ(radians(90.0), 3.141592653589793 / 2);
  EXPECT_EQ(radians(0.0), 0.0);
  uCFRelease(nullptr);
  CFStringRef s = ORBStringFromUTF8("x", 1);
  uCFRelease(s);
  EXPECT_FALSE(uAltPressed());
}

}  // namespace
