// The base layer's text routines: the decimal reader, hex, and formatting that refuses to cut.
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

TEST(FormatInto, RefusesToCut) {
    char out[8];
    EXPECT_TRUE(format_into(out, sizeof out, "%s", "1234567"));
    EXPECT_STREQ(out, "1234567");
    EXPECT_FALSE(format_into(out, sizeof out, "%s", "12345678"));
}

}  // namespace
