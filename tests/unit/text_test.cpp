// The base layer's text routines: the one decimal reader in its three readings, hex, and
// formatting that refuses to cut.
#include "base/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

namespace {

TEST(ReadDecimal, ReadsAsAtoiDoesWithinTheRange) {
    struct {
        const char* text;
        std::optional<int32_t> value;
    } cases[] = {
        {"12", 12},      {" 12", 12},    {"\t\n\v\f\r 12", 12}, {"12abc", 12},     {"+7", 7},
        {"007", 7},      {"-1", -1},     {"abc", 0},            {"", 0},           {"- 1", 0},
        {"+-1", 0},      {"0x10", 0},    {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},      {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},   {"00000000000000000000012", 12},
        {"18446744073709551628", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int32_t value = 99;
        const bool in_range = read_decimal(c.text, &value);
        EXPECT_EQ(in_range ? std::optional<int32_t>(value) : std::nullopt, c.value);
    }
}

// The reader underneath the other two: the value, and where the digits end, for every way a
// number can begin, end or overflow.
TEST(ReadDecimal, ScanReportsTheValueAndWhereTheDigitsEnd) {
    struct {
        const char* text;
        decimal_scan result;
        int32_t value;     // when found
        long end_offset;  // unless none
    } cases[] = {
        {"42", decimal_scan::found, 42, 2},
        {" \t+42x", decimal_scan::found, 42, 5},
        {"-0", decimal_scan::found, 0, 2},
        {"-2147483648!", decimal_scan::found, INT32_MIN, 11},
        {"2147483647", decimal_scan::found, INT32_MAX, 10},
        {"2147483648", decimal_scan::out_of_range, 0, 10},
        {"-2147483649", decimal_scan::out_of_range, 0, 11},
        // Far past the range: every digit is still consumed, none wraps the value.
        {"4294967338", decimal_scan::out_of_range, 0, 10},
        {"99999999999999999999999999 1", decimal_scan::out_of_range, 0, 26},
        {"0000000000000000000000000007", decimal_scan::found, 7, 28},
        {"", decimal_scan::none, 0, 0},
        {"   ", decimal_scan::none, 0, 0},
        {"-", decimal_scan::none, 0, 0},
        {"+ 1", decimal_scan::none, 0, 0},
        {"--1", decimal_scan::none, 0, 0},
        {"x1", decimal_scan::none, 0, 0},
        {"\x85" "1", decimal_scan::none, 0, 0},  // no locale's white space but the C locale's
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int32_t value = 99;
        const char* end = nullptr;
        EXPECT_EQ(scan_decimal(c.text, &value, &end), c.result);
        EXPECT_EQ(value, c.result == decimal_scan::found ? c.value : 99);
        if (c.result != decimal_scan::none) {
            EXPECT_EQ(end - c.text, c.end_offset);
        }
    }
}

// The plain form that names atom value files and fills atom files: digits only, no sign, no
// leading zero, exactly `length` bytes.
TEST(ReadDecimal, PlainDecimalIsExactlyTheDigitsThatPercentDWrites) {
    struct {
        const char* text;
        std::size_t length;
        decimal_scan result;
        int32_t value;
    } cases[] = {
        {"0", 1, decimal_scan::found, 0},
        {"7", 1, decimal_scan::found, 7},
        {"7\n", 1, decimal_scan::found, 7},
        {"2147483647", 10, decimal_scan::found, INT32_MAX},
        {"2147483648", 10, decimal_scan::out_of_range, 0},
        {"99999999999999999999", 20, decimal_scan::out_of_range, 0},
        {"", 0, decimal_scan::none, 0},
        {"00", 2, decimal_scan::none, 0},
        {"07", 2, decimal_scan::none, 0},
        {"-1", 2, decimal_scan::none, 0},
        {"+1", 2, decimal_scan::none, 0},
        {" 1", 2, decimal_scan::none, 0},
        {"1 ", 2, decimal_scan::none, 0},
        {"1x", 2, decimal_scan::none, 0},
        {"12\n", 3, decimal_scan::none, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text, c.length));
        int32_t value = 99;
        EXPECT_EQ(scan_plain_decimal(c.text, c.length, &value), c.result);
        if (c.result == decimal_scan::found) {
            EXPECT_EQ(value, c.value);
        }
    }
}

TEST(Hex, EncodesLowercaseHighNibbleFirst) {
    const unsigned char bytes[] = {0x00, 0x7f, 0xab};
    char out[7];
    hex_encode(bytes, 3, out);
    EXPECT_STREQ(out, "007fab");
    hex_encode(bytes, 0, out);
    EXPECT_STREQ(out, "");
}

TEST(Hex, DecodesEitherCaseAndNothingElse) {
    struct {
        const char* text;
        long count;
        std::string bytes;
    } cases[] = {
        {"0aFf", 2, "\x0a\xff"}, {"", 0, ""},       {"abc", -1, ""}, {"0g", -1, ""},
        {"0x12", -1, ""},        {" 1", -1, ""},    {"00", 1, std::string(1, '\0')},
        {"DEADbeef", 4, "\xde\xad\xbe\xef"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        unsigned char out[16] = {};
        const long count = hex_decode(c.text, out);
        EXPECT_EQ(count, c.count);
        if (count >= 0) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(out), count), c.bytes);
        }
    }
}

TEST(Hex, EveryByteRoundTrips) {
    unsigned char bytes[256];
    for (int i = 0; i < 256; i++) bytes[i] = static_cast<unsigned char>(i);
    char text[513];
    hex_encode(bytes, 256, text);
    unsigned char back[256];
    ASSERT_EQ(hex_decode(text, back), 256);
    EXPECT_EQ(0, memcmp(bytes, back, 256));
}

TEST(Hex, EveryByteHasItsDigitValueOrNone) {
    const std::string upper = "0123456789ABCDEF", lower = "0123456789abcdef";
    for (int b = 0; b < 256; b++) {
        SCOPED_TRACE(b);
        const char c = static_cast<char>(b);
        const std::size_t in_upper = b == 0 ? std::string::npos : upper.find(c);
        const std::size_t in_lower = b == 0 ? std::string::npos : lower.find(c);
        const int expected = in_lower != std::string::npos   ? static_cast<int>(in_lower)
                             : in_upper != std::string::npos ? static_cast<int>(in_upper)
                                                             : -1;
        EXPECT_EQ(hex_value(c), expected);
        EXPECT_EQ(is_lowercase_hex_digit(c), in_lower != std::string::npos);
    }
}

TEST(FormatInto, RefusesToCut) {
    char out[8];
    EXPECT_TRUE(format_into(out, sizeof out, "%s", "1234567"));
    EXPECT_STREQ(out, "1234567");
    EXPECT_FALSE(format_into(out, sizeof out, "%s", "12345678"));
}

}  // namespace
