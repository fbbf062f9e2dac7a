// The store's layout: the table of the three kinds of file (directory, name rule, content rule,
// size limit, write mode), the limits derived from the body and name buffers, the counting rule,
// and store names, which registration makes and velto-admin checks by two different routines.
#include "store/layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "cgi/codecs.h"
#include "velto.h"

using velto_test::from_hex;
using velto_test::representation;
using velto_test::SAMPLE_REP_HEX;
using velto_test::SAMPLE_REP_ID;
using velto_test::server_id;

namespace {

std::string escaped(const std::string& source) {
    char name[NAME_BUFFER_SIZE];
    escape_store_name(source.c_str(), name);
    return name;
}

TEST(FileKinds, EachKindHasItsDirectoryLimitAndWriteMode) {
    const struct {
        file_kind kind;
        const char* kind_name;
        const char* directory;
        uint64_t size_limit;
        write_mode mode;
    } expected[] = {
        {file_kind::format, "format", "formats", 2147483647, write_mode::create_only},
        {file_kind::atom, "atom", "atoms/s", 64, write_mode::replace},
        {file_kind::atom_value, "atom_value", "atoms/v", 10485761, write_mode::replace},
    };
    ASSERT_EQ(std::size(FILE_KINDS), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); i++) {
        const auto& e = expected[i];
        const file_kind_rules& row = FILE_KINDS[i];
        SCOPED_TRACE(e.kind_name);
        EXPECT_EQ(&rules_of(e.kind), &row);
        EXPECT_EQ(row.kind, e.kind);
        EXPECT_STREQ(row.kind_name, e.kind_name);
        EXPECT_STREQ(row.label, e.directory);
        char path[PATH_BUFFER_SIZE];
        ASSERT_TRUE(store_path(path, row.path_template, "/store"));
        EXPECT_EQ(std::string(path), std::string("/store/") + e.directory);
        EXPECT_EQ(row.size_limit, e.size_limit);
        EXPECT_EQ(row.mode, e.mode);
        // Every request creates the kind's directory, after its parent.
        std::size_t position = std::size(STORE_TREE);
        for (std::size_t t = 0; t < std::size(STORE_TREE); t++) {
            if (std::strcmp(STORE_TREE[t].path_template, row.path_template) == 0) position = t;
        }
        ASSERT_LT(position, std::size(STORE_TREE));
        for (std::size_t t = position + 1; t < std::size(STORE_TREE); t++) {
            const std::string later = STORE_TREE[t].label;
            EXPECT_NE(std::string(e.directory).rfind(later + "/", 0), 0u) << later;
        }
    }
}

TEST(FileKinds, NameRules) {
    const std::string store_name_509 = std::string(506, 'a') + "%20";
    const struct {
        file_kind kind;
        std::string name;
        bool is_name;
    } cases[] = {
        {file_kind::format, "00", true},
        {file_kind::format, SAMPLE_REP_ID, true},
        {file_kind::format, std::string(494, 'f'), true},  // 247 bytes, the longest ID
        {file_kind::format, std::string(496, 'f'), false},
        {file_kind::format, "", false},
        {file_kind::format, "0", false},
        {file_kind::format, "0g", false},
        {file_kind::format, "8922697456A7890770EC1957F4AAFB2A", false},
        {file_kind::format, ".velto~1-0", false},
        {file_kind::atom, "a", true},
        {file_kind::atom, "Az09-._", true},
        {file_kind::atom, "a%20b%2fc", true},
        {file_kind::atom, ".dot", true},
        {file_kind::atom, "%7euser", true},
        {file_kind::atom, store_name_509, true},
        {file_kind::atom, std::string(507, 'a'), true},
        {file_kind::atom, std::string(508, 'a'), false},  // escaping stops at 507 bytes
        {file_kind::atom, store_name_509 + "a", false},
        {file_kind::atom, "", false},
        {file_kind::atom, ".", false},
        {file_kind::atom, "..", false},
        {file_kind::atom, "%2e%2e", false},
        {file_kind::atom, "a%2Fb", false},
        {file_kind::atom, "a/b", false},
        {file_kind::atom, "a b", false},
        {file_kind::atom, "%41", false},
        {file_kind::atom, "%00", false},
        {file_kind::atom, "a%2", false},
        {file_kind::atom, "a%", false},
        {file_kind::atom, "~user", false},
        {file_kind::atom, ".velto~1-0", false},
        {file_kind::atom_value, "0", true},
        {file_kind::atom_value, "7", true},
        {file_kind::atom_value, "2147483647", true},
        {file_kind::atom_value, "2147483648", false},
        {file_kind::atom_value, "07", false},
        {file_kind::atom_value, "-1", false},
        {file_kind::atom_value, "+1", false},
        {file_kind::atom_value, " 1", false},
        {file_kind::atom_value, "1 ", false},
        {file_kind::atom_value, "", false},
        {file_kind::atom_value, ".velto~1-0", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(rules_of(c.kind).kind_name) + " " + c.name.substr(0, 40));
        EXPECT_EQ(rules_of(c.kind).is_name(c.name.c_str()), c.is_name);
    }
    int32_t atom = -1;
    EXPECT_TRUE(parse_atom_value_name("2147483647", &atom));
    EXPECT_EQ(atom, INT32_MAX);
}

TEST(FileKinds, ContentRules) {
    const std::string sample = from_hex(SAMPLE_REP_HEX);
    const std::string header_only = std::string(8, '\0');
    const std::string cut = representation(300, 2).substr(0, 100);
    const struct {
        file_kind kind;
        std::string name;
        std::string bytes;
        content_fault fault;
    } cases[] = {
        {file_kind::format, SAMPLE_REP_ID, sample, content_fault::none},
        {file_kind::format, SAMPLE_REP_ID, sample + "beyond", content_fault::none},
        {file_kind::format, server_id(header_only, 0), header_only, content_fault::none},
        {file_kind::format, "00", sample, content_fault::format_id_mismatch},
        {file_kind::format, SAMPLE_REP_ID, "", content_fault::format_too_short},
        {file_kind::format, SAMPLE_REP_ID, sample.substr(0, 7), content_fault::format_too_short},
        {file_kind::format, server_id(representation(300, 2)), cut, content_fault::format_cut},
        {file_kind::format, SAMPLE_REP_ID, sample.substr(0, 15), content_fault::format_cut},
        {file_kind::atom, "a", "5\n", content_fault::none},
        {file_kind::atom, "a", "0\n", content_fault::none},
        {file_kind::atom, "a", "2147483647\n", content_fault::none},
        {file_kind::atom, "a", "2147483648\n", content_fault::atom_out_of_range},
        {file_kind::atom, "a", "99999999999\n", content_fault::atom_out_of_range},
        {file_kind::atom, "a", "-7\n", content_fault::atom_out_of_range},
        {file_kind::atom, "a", "", content_fault::atom_file_junk},
        {file_kind::atom, "a", "7", content_fault::atom_file_junk},
        {file_kind::atom, "a", "07\n", content_fault::atom_file_junk},
        {file_kind::atom, "a", "+7\n", content_fault::atom_file_junk},
        {file_kind::atom, "a", " 7\n", content_fault::atom_file_junk},
        {file_kind::atom, "a", "7 \n", content_fault::atom_file_junk},
        {file_kind::atom, "a", "7\n\n", content_fault::atom_file_junk},
        {file_kind::atom, "a", "-\n", content_fault::atom_file_junk},
        {file_kind::atom, "a", "\n", content_fault::atom_file_junk},
        {file_kind::atom_value, "1", "x\n", content_fault::none},
        {file_kind::atom_value, "1", "\n", content_fault::none},
        {file_kind::atom_value, "1", "a\nb\n", content_fault::none},
        {file_kind::atom_value, "1", "\xff\x01\r\n", content_fault::none},
        {file_kind::atom_value, "1", "", content_fault::atom_value_empty},
        {file_kind::atom_value, "1", "x", content_fault::atom_value_unterminated},
        {file_kind::atom_value, "1", "x\ny", content_fault::atom_value_unterminated},
        {file_kind::atom_value, "1", "a\"b\n", content_fault::atom_value_bad_byte},
        {file_kind::atom_value, "1", std::string("a\0b\n", 4), content_fault::atom_value_bad_byte},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(rules_of(c.kind).kind_name) + " " +
                     velto_test::to_hex(c.bytes.substr(0, 24)));
        const content_problem found = rules_of(c.kind).check_content(
            c.name.c_str(), reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size());
        EXPECT_EQ(found.fault, c.fault) << found.detail;
        EXPECT_EQ(found.detail[0] == '\0', c.fault == content_fault::none) << found.detail;
    }
    std::size_t lines = 0;
    const std::string two_lines = "a\nb\n";
    ASSERT_EQ(check_atom_value_content(reinterpret_cast<const unsigned char*>(two_lines.data()),
                                       two_lines.size(), &lines)
                  .fault,
              content_fault::none);
    EXPECT_EQ(lines, 2u);
}

// A registration can write an atom value file as large as the string of the largest body and
// its line feed, and that file must pass the kind's own size limit and content rule.
TEST(DerivedLimits, TheLargestAtomValueFileFollowsFromTheLargestBody) {
    EXPECT_EQ(MAX_BODY_LENGTH, 10485760);
    const std::string open = R"({"atom":1,"string":")", close = "\"}";
    const std::string body =
        open + std::string(static_cast<std::size_t>(MAX_BODY_LENGTH) - open.size() - close.size(), 's') +
        close;
    ASSERT_EQ(body.size(), 10485760u);
    const heap_text string = json_string_field(body.c_str(), "string");
    ASSERT_TRUE(string);
    const std::string file = std::string(string.get()) + "\n";
    EXPECT_LE(file.size(), rules_of(file_kind::atom_value).size_limit);
    EXPECT_EQ(MAX_ATOM_VALUE_FILE_SIZE, static_cast<uint64_t>(MAX_BODY_LENGTH) + 1);
    EXPECT_EQ(rules_of(file_kind::atom_value)
                  .check_content("1", reinterpret_cast<const unsigned char*>(file.data()), file.size())
                  .fault,
              content_fault::none);
}

// The longest atom file and the atom file text of every atom fit their limits.
TEST(DerivedLimits, AtomFilesFitTheirBufferAndLimit) {
    const struct {
        int32_t atom;
        const char* text;
    } cases[] = {{0, "0\n"}, {7, "7\n"}, {INT32_MAX, "2147483647\n"}, {INT32_MIN, "-2147483648\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        char text[ATOM_FILE_TEXT_SIZE];
        ASSERT_TRUE(format_atom_file(c.atom, text));
        EXPECT_STREQ(text, c.text);
        EXPECT_LE(std::strlen(text), rules_of(file_kind::atom).size_limit);
    }
}

// The name buffer bounds every store name: escaping stops so that the longest name, a triplet
// begun just before the stop, and its NUL still fit, and the name rule admits exactly as long a
// name as escaping can make.
TEST(DerivedLimits, TheStoreNameLimitFollowsFromTheNameBuffer) {
    EXPECT_EQ(NAME_BUFFER_SIZE, 512u);
    EXPECT_EQ(MAX_STORE_NAME_LENGTH, 509u);
    std::size_t longest = 0;
    for (std::size_t plain = 495; plain < 520; plain++) {
        for (const char* tail : {"", " ", "  ", "\xff\xff\xff"}) {
            const std::string name = escaped(std::string(plain, 'a') + tail);
            SCOPED_TRACE(std::to_string(plain) + " plain bytes, then " + std::to_string(std::strlen(tail)));
            EXPECT_LE(name.size(), MAX_STORE_NAME_LENGTH);
            EXPECT_TRUE(is_store_name(name.c_str()));
            longest = std::max(longest, name.size());
        }
    }
    EXPECT_EQ(longest, MAX_STORE_NAME_LENGTH);
    // The longest decoded segment, every byte escaped.
    const std::string all_escaped = escaped(std::string(NAME_BUFFER_SIZE - 1, '\xff'));
    EXPECT_EQ(all_escaped.size(), 507u);
    EXPECT_TRUE(is_store_name(all_escaped.c_str()));
}

TEST(CountingRule, OnlyNamesThatDoNotBeginWithADotCount) {
    const struct {
        const char* name;
        bool is_counted;
        bool is_temporary;
    } cases[] = {
        {"a", true, false},
        {"0", true, false},
        {"~", true, false},
        {"a.velto~1", true, false},
        {"velto~1-0", true, false},
        {".dot", false, false},
        {".", false, false},
        {"..", false, false},
        {".velto", false, false},
        {".velto~", false, true},
        {".velto~123-17e0f-0", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(is_counted_name(c.name), c.is_counted);
        EXPECT_EQ(is_temporary_name(c.name), c.is_temporary);
    }
    // The write routine's temporaries are never counted and never the name of a record.
    const std::string temporary = std::string(TEMP_NAME_PREFIX) + "4242-17e0f0c1a-0";
    EXPECT_TRUE(is_temporary_name(temporary.c_str()));
    EXPECT_FALSE(is_counted_name(temporary.c_str()));
    for (const file_kind_rules& kind : FILE_KINDS) {
        EXPECT_FALSE(kind.is_name(temporary.c_str())) << kind.kind_name;
    }
}

TEST(StoreNames, EveryByteEscapesToUnreservedPercentOrLowerHex) {
    for (int b = 1; b < 256; b++) {
        const char source[2] = {static_cast<char>(b), '\0'};
        char out[NAME_BUFFER_SIZE];
        escape_store_name(source, out);
        const bool is_unreserved = isalnum(b) && b < 128 ? true : b == '-' || b == '.' || b == '_';
        SCOPED_TRACE(b);
        if (is_unreserved) {
            EXPECT_EQ(std::string(out), std::string(source));
        } else {
            char expected[4];
            snprintf(expected, sizeof expected, "%%%02x", b);
            EXPECT_EQ(std::string(out), expected);
        }
    }
}

// Whatever string a registration escapes, the name rule that velto-admin checks records by
// takes the name, and the name stands for the string (or, once cut, for its beginning); only
// "", "." and "..", which name no file, are refused.
TEST(StoreNames, EveryEscapedStringIsAStoreNameAndStandsForIt) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 3000; round++) {
        std::string source(1 + random() % (round % 10 == 0 ? 600 : 12), 'x');
        const int alphabet = round % 3;  // all bytes; dots and letters; bytes around the escape
        for (auto& byte : source) {
            const unsigned pick = random();
            byte = alphabet == 0   ? static_cast<char>(1 + pick % 255)
                   : alphabet == 1 ? ".a"[pick % 2]
                                   : "%2fF. "[pick % 6];
        }
        SCOPED_TRACE(velto_test::to_hex(source.substr(0, 32)));
        const std::string name = escaped(source);
        const bool is_directory = source == "." || source == "..";
        EXPECT_EQ(is_store_name(name.c_str()), !is_directory) << name;
        const std::string stands_for = velto_test::unescape_store_name(name);
        EXPECT_EQ(source.compare(0, stands_for.size(), stands_for), 0) << name;
        if (name.size() < 507) {
            EXPECT_EQ(stands_for, source) << name;
        }
    }
    EXPECT_FALSE(is_store_name(escaped("").c_str()));
}

TEST(LookupReadings, TheStringIsTheFirstLineWithoutItsLineFeed) {
    const struct {
        std::string bytes;
        std::string line;
    } cases[] = {
        {"abc\n", "abc"},
        {"abc", "abc"},
        {"a\nb\n", "a"},
        {"first\r\nsecond\n", "first\r"},
        {"\n", ""},
        {"\n\n", ""},
        {std::string("a\0b\n", 4), "a"},
        {std::string(511, 'L'), std::string(511, 'L')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(velto_test::to_hex(c.bytes.substr(0, 16)));
        char line[ATOM_LINE_BUFFER_SIZE];
        std::memcpy(line, c.bytes.data(), c.bytes.size());
        end_first_line(line, c.bytes.size());
        EXPECT_EQ(std::string(line), c.line);
    }
}

}  // namespace
