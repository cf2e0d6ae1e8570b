// Decimal numbers of the command line and the configuration file.
#include <gtest/gtest.h>

#include "runtime/number.h"

namespace fenra {
namespace {

TEST(Number, PortValues) {
    EXPECT_EQ(parse_u16("5269"), 5269);
    EXPECT_EQ(parse_u16("+5269"), 5269);
    EXPECT_EQ(parse_u16("5_269"), 5269);
    EXPECT_EQ(parse_u16("0"), 0);
    EXPECT_EQ(parse_u16("65535"), 65535);
    EXPECT_EQ(parse_u16("00080"), 80);
    // "-" is taken only in front of a zero value.
    EXPECT_EQ(parse_u16("-0"), 0);
    EXPECT_EQ(parse_u16("-000"), 0);
    EXPECT_EQ(parse_u16("-0_0"), 0);
}

TEST(Number, PortRejects) {
    for (const char* s : {"", "+", "-", "65536", "99999999999999999999999", "-1", "12x", "x12",
                          " 1", "1 ", "_1", "1_", "-_0", "+_1", "++1", "+-0", "0x10", "1.0"})
        EXPECT_EQ(parse_u16(s), std::nullopt) << '"' << s << '"';
}

TEST(Number, SignedExtremes) {
    EXPECT_EQ(parse_i32("2147483647"), INT32_MAX);
    EXPECT_EQ(parse_i32("-2147483648"), INT32_MIN);
    EXPECT_EQ(parse_i32("-2_147_483_648"), INT32_MIN);
    EXPECT_EQ(parse_i32("2147483648"), std::nullopt);
    EXPECT_EQ(parse_i32("-2147483649"), std::nullopt);
    EXPECT_EQ(parse_i32("-1"), -1);
    EXPECT_EQ(parse_i32("+7"), 7);
    EXPECT_EQ(parse_i32("-"), std::nullopt);
    EXPECT_EQ(parse_i32("--1"), std::nullopt);
    EXPECT_EQ(parse_signed("-9223372036854775808", INT64_MIN, INT64_MAX), INT64_MIN);
    EXPECT_EQ(parse_signed("9223372036854775808", INT64_MIN, INT64_MAX), std::nullopt);
}

TEST(Number, UnsignedWidths) {
    EXPECT_EQ(parse_u32("4294967295"), UINT32_MAX);
    EXPECT_EQ(parse_u32("4294967296"), std::nullopt);
    EXPECT_EQ(parse_unsigned("18446744073709551615", UINT64_MAX), UINT64_MAX);
    EXPECT_EQ(parse_unsigned("18446744073709551616", UINT64_MAX), std::nullopt);
}

}  // namespace
}  // namespace fenra
