// Number conversions of database text.

#include "core/conversions.h"

#include <gtest/gtest.h>

namespace {

TEST(Conversions, UnsignedIntFollowsStreamExtraction) {
  EXPECT_EQ(stringToUnsignedInt("  60000x"), 60000u);
  EXPECT_EQ(stringToUnsignedInt("x17"), 0u);
  EXPECT_EQ(stringToUnsignedInt(""), 0u);
  EXPECT_EQ(stringToUnsignedInt("   "), 0u);
  EXPECT_EQ(stringToUnsignedInt("12.9"), 12u);
  EXPECT_EQ(stringToUnsignedInt("-1"), 4294967295u);
  EXPECT_EQ(stringToUnsignedInt("99999999999"), 4294967295u);
  EXPECT_EQ(stringToUnsignedInt("\t\n7"), 7u);
}

TEST(Conversions, SixtyFourBitReadersKeepNegativesAndLargeValues) {
  EXPECT_EQ(stringToLongInt("9876543210"), 9876543210LL);
  EXPECT_EQ(stringToLongInt("-5"), -5);
  EXPECT_EQ(stringToLongInt("42abc"), 42);
  EXPECT_EQ(stringToLongInt("abc"), 0);
  EXPECT_EQ(stringToLongLongInt("1733600000"), 1733600000LL);
  EXPECT_EQ(stringToLongLongInt("-2"), -2);
  EXPECT_EQ(stringToLongLongInt(""), 0);
  // Overflow gives the largest unsigned value, which reads back as -1.
  EXPECT_EQ(stringToLongLongInt("99999999999999999999999"), -1);
}

TEST(Conversions, IntToStringIsPlainDecimal) {
  EXPECT_EQ(intToString(-5), "-5");
  EXPECT_EQ(intToString(0), "0");
  EXPECT_EQ(intToString(2147483647), "2147483647");
}

}  // namespace
