// The request's text codecs: body field scanning, and percent decoding of a path segment into
// the string whose store name a lookup opens.
#include "cgi/codecs.h"
#include "store/layout.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

std::optional<std::string> string_field(const std::string& body, const char* key = "string") {
    const heap_text value = json_string_field(body.c_str(), key);
    if (!value) return std::nullopt;
    return std::string(value.get());
}

std::optional<int32_t> int_field_value(const std::string& body, const char* key = "atom") {
    int32_t value = -12345;
    switch (json_int_field(body.c_str(), key, &value)) {
        case int_field::found: return value;
        case int_field::absent: return std::nullopt;
        case int_field::out_of_range: return INT32_MIN + 1;  // marker, checked separately
    }
    return std::nullopt;
}

TEST(BodyFields, FirstOccurrenceOfTheQuotedKeyDecides) {
    const std::optional<std::string> none;
    const std::optional<int32_t> absent;
    struct {
        std::string body;
        std::optional<std::string> string;
        std::optional<int32_t> atom;
    } cases[] = {
        {R"({"string":"abc","atom":5})", "abc", 5},
        {R"({"string" : "abc", "atom" : 5})", "abc", 5},
        {R"({"string""abc","atom"5})", "abc", 5},
        {R"({"string"::"abc"})", "abc", absent},
        {R"({"string":""})", "", absent},
        {R"({"string":"ab\"c"})", "ab\\", absent},
        {R"({"string":abc})", none, absent},
        {R"({"string":"abc)", none, absent},
        {"{\"string\":\n\"abc\"}", none, absent},
        {"{\"string\":\t\"abc\"}", "abc", absent},
        {R"({"note":"string","string":"x"})", none, absent},
        {R"({"String":"x"})", none, absent},
        {R"({"strings":"x"})", none, absent},
        {R"({"atom":"7"})", none, 0},
        {R"({"atom":-3})", none, -3},
        {R"({"atom":})", none, 0},
        {R"({"atom")", none, 0},
        {"{\"atom\":\n7}", none, 7},
        {"{\"atom\"\n:7}", none, 0},
        {R"({"note":"atom","atom":5})", none, 0},
        {R"({"atom":12.9})", none, 12},
        {R"({"atom":1e3})", none, 1},
        {R"({"atom":+8})", none, 8},
        {R"({"atom":2147483647})", none, 2147483647},
        {R"({"atom":-2147483648})", none, INT32_MIN},
        {"{\"string\":\"a\\u0041\x01\xc3\xa9\"}", "a\\u0041\x01\xc3\xa9", absent},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        EXPECT_EQ(string_field(c.body), c.string);
        EXPECT_EQ(int_field_value(c.body), c.atom);
    }
}

TEST(BodyFields, NumbersOutsideThe32BitRangeAreNeverWrapped) {
    for (const char* body : {R"({"atom":2147483648})", R"({"atom":-2147483649})",
                             R"({"atom":4294967301})", R"({"atom":99999999999999999999999})"}) {
        SCOPED_TRACE(body);
        int32_t value = 77;
        EXPECT_EQ(json_int_field(body, "atom", &value), int_field::out_of_range);
        EXPECT_EQ(value, 77);
    }
}

TEST(BodyFields, AKeyTooLongToQuoteIsAbsent) {
    const std::string key(300, 'k');
    const std::string body = "{\"" + key + "\":\"v\"}";
    EXPECT_EQ(string_field(body, key.c_str()), std::nullopt);
}

TEST(StoreNames, DecodeThenEscape) {
    struct {
        std::string segment;
        std::string decoded;
        std::string store_name;
    } cases[] = {
        {"a%20b%2fc", "a b/c", "a%20b%2fc"},
        {"a%20b%2Fc", "a b/c", "a%20b%2fc"},
        {"100%", "100%", "100%25"},
        {"%zz%4", "%zz%4", "%25zz%254"},
        {"%%41", "%A", "%25A"},
        {"a+b", "a+b", "a%2bb"},
        {"x%00y", "x", "x"},
        {"~user", "~user", "%7euser"},
        {"Az09-._", "Az09-._", "Az09-._"},
        {".", ".", "."},
        {"..", "..", ".."},
        {"%2E%2e", "..", ".."},
        {"%C3%A9", "\xc3\xa9", "%c3%a9"},
        {"%c3%a9", "\xc3\xa9", "%c3%a9"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.segment);
        char decoded[NAME_BUFFER_SIZE];
        char store_name[NAME_BUFFER_SIZE];
        percent_decode(c.segment.c_str(), decoded);
        escape_store_name(decoded, store_name);
        EXPECT_EQ(std::string(decoded), c.decoded);
        EXPECT_EQ(std::string(store_name), c.store_name);
    }
}

TEST(StoreNames, LimitsCutWholeBytesAndTriplets) {
    char out[NAME_BUFFER_SIZE];
    percent_decode(std::string(600, 'a').c_str(), out);
    EXPECT_EQ(std::string(out), std::string(511, 'a'));
    std::string escapes;
    for (int i = 0; i < 600; i++) escapes += "%41";
    percent_decode(escapes.c_str(), out);
    EXPECT_EQ(std::string(out), std::string(511, 'A'));

    escape_store_name(std::string(600, 'a').c_str(), out);
    EXPECT_EQ(std::string(out), std::string(507, 'a'));
    escape_store_name(std::string(300, ' ').c_str(), out);
    std::string spaces;
    for (int i = 0; i < 169; i++) spaces += "%20";
    EXPECT_EQ(std::string(out), spaces);
    escape_store_name((std::string(506, 'a') + " bcd").c_str(), out);
    EXPECT_EQ(std::string(out), std::string(506, 'a') + "%20");
}

}  // namespace
