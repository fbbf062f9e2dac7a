// Atom registration and lookup through the CGI program.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "process_test.h"

namespace fs = std::filesystem;
using namespace velto_test;

namespace {

const std::string OK = R"({"ok":true})";
const std::string MISSING = R"({"error":"missing string or atom"})";
const std::string CANNOT_WRITE_ATOM = R"({"error":"cannot write atom file"})";
const std::string CANNOT_WRITE_VALUE = R"({"error":"cannot write atom value file"})";
const std::string ATOM_NOT_FOUND = R"({"error":"atom not found"})";
const std::string VALUE_NOT_FOUND = R"({"error":"atom value not found"})";
const std::string CORRUPT_ATOM = R"({"error":"corrupt atom file"})";
const std::string CORRUPT_VALUE = R"({"error":"corrupt atom value file"})";

std::string atom_body(int64_t atom) { return "{\"atom\":" + std::to_string(atom) + "}"; }
std::string string_body(const std::string& s) { return "{\"string\":\"" + s + "\"}"; }

class Atoms : public process_test {
  protected:
    process_result post_atom(const std::string& body, const run_options& options = {}) const {
        return post("/v1/atoms", body, options);
    }
    process_result register_pair(const std::string& string, int64_t atom) const {
        return post_atom("{\"string\":\"" + string + "\",\"atom\":" + std::to_string(atom) + "}");
    }
    process_result by_string(const std::string& segment) const {
        return get("/v1/atoms/by-string/" + segment);
    }
    process_result by_value(const std::string& segment) const {
        return get("/v1/atoms/by-value/" + segment);
    }
    std::optional<std::string> atom_file(const std::string& name) const {
        return read_file(data_ + "/atoms/s/" + name);
    }
    std::optional<std::string> value_file(const std::string& name) const {
        return read_file(data_ + "/atoms/v/" + name);
    }
    std::string listing() const { return tree_listing(data_ + "/atoms"); }
};

TEST_F(Atoms, RegistrationFieldsAsTheBodyScannerReadsThem) {
    struct {
        std::string body;
        std::string expected;
        std::string store_name;  // empty: nothing written
        std::string atom_text;
        std::string value_text;
    } cases[] = {
        {R"({"string":"x","atom":5})", OK, "x", "5", "x"},
        {R"({"atom":6,"string":"y"})", OK, "y", "6", "y"},
        {R"({"string" : "sp", "atom" : 7})", OK, "sp", "7", "sp"},
        {R"({"string""nc","atom"8})", OK, "nc", "8", "nc"},
        {R"({"string":"z","atom":0})", OK, "z", "0", "z"},
        {R"({"string":"x","atom":"5"})", OK, "x", "0", "x"},
        {R"({"string":"w","atom":12abc})", OK, "w", "12", "w"},
        {R"({"string":"v","atom":1.9})", OK, "v", "1", "v"},
        {R"({"string":"t","atom":true})", OK, "t", "0", "t"},
        {R"({"string":"atom","atom":5})", OK, "atom", "0", "atom"},
        {R"({"string":"max","atom":2147483647})", OK, "max", "2147483647", "max"},
        {R"({"string":"x","atom":-1})", MISSING, "", "", ""},
        {R"({"string":"x","atom":2147483648})", MISSING, "", "", ""},
        {R"({"string":"x","atom":4294967301})", MISSING, "", "", ""},
        {R"({"string":"x","atom":-2147483649})", MISSING, "", "", ""},
        {R"({"atom":5})", MISSING, "", "", ""},
        {R"({"string":"x"})", MISSING, "", "", ""},
        {R"({})", MISSING, "", "", ""},
        {R"({"string":x,"atom":5})", MISSING, "", "", ""},
        {R"({"note":"string","string":"x","atom":5})", MISSING, "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        fs::remove_all(data_);
        const process_result result = post_atom(c.body);
        expect_answer(result, response(c.expected == OK ? 200 : 400, c.expected));
        if (c.store_name.empty()) {
            EXPECT_EQ(listing(), "s/\nv/\n");
            continue;
        }
        EXPECT_EQ(listing(), "s/\ns/" + c.store_name + "\nv/\nv/" + c.atom_text + "\n");
        EXPECT_EQ(atom_file(c.store_name), c.atom_text + "\n");
        EXPECT_EQ(value_file(c.atom_text), c.value_text + "\n");
    }
}

TEST_F(Atoms, StoreNamesOnDiskAndLookupsFromEncodedSegments) {
    struct {
        std::string string;  // as sent in the body
        std::string store_name;
        std::vector<std::string> segments;  // every one finds it
    } cases[] = {
        {"a b", "a%20b", {"a%20b", "a b"}},
        {"a/b", "a%2fb", {"a/b", "a%2Fb", "a%2fb"}},
        {"100%", "100%25", {"100%", "100%25"}},
        {"a+b", "a%2bb", {"a+b", "a%2Bb"}},
        {"\xc3\xa9t\xc3\xa9", "%c3%a9t%c3%a9", {"%C3%A9t%C3%A9", "%c3%a9t%c3%a9", "\xc3\xa9t\xc3\xa9"}},
        {"~user", "%7euser", {"~user", "%7Euser"}},
        {"a\\nb", "a%5cnb", {"a%5Cnb", "a\\nb"}},
        {"Az09-._", "Az09-._", {"Az09-._"}},
    };
    int atom = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.string);
        ASSERT_EQ(register_pair(c.string, atom).out, response(200, OK));
        EXPECT_EQ(atom_file(c.store_name), std::to_string(atom) + "\n");
        EXPECT_EQ(value_file(std::to_string(atom)), c.string + "\n");
        for (const auto& segment : c.segments) {
            SCOPED_TRACE(segment);
            EXPECT_EQ(by_string(segment).out, response(200, atom_body(atom)));
        }
        EXPECT_EQ(by_value(std::to_string(atom)).out, response(200, string_body(c.string)));
        atom++;
    }
    // Decoding happens once only: a%2520b decodes to a%20b, whose store name is a%2520b.
    EXPECT_EQ(by_string("a%2520b").out, response(404, ATOM_NOT_FOUND));
    // %00 ends the decoded string.
    ASSERT_EQ(register_pair("ab", 50).out, response(200, OK));
    EXPECT_EQ(by_string("ab%00cd").out, response(200, atom_body(50)));
}

TEST_F(Atoms, NamesThatAreDirectoriesOrTooLongCannotBeStored) {
    struct {
        std::string string;
        std::string expected;
    } cases[] = {
        {"", response(500, CANNOT_WRITE_ATOM)},
        {".", response(500, CANNOT_WRITE_ATOM)},
        {"..", response(500, CANNOT_WRITE_ATOM)},
        {std::string(256, 'a'), response(500, CANNOT_WRITE_ATOM)},
        {std::string(86, ' '), response(500, CANNOT_WRITE_ATOM)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.string.size());
        const process_result result = register_pair(c.string, 3);
        EXPECT_EQ(result.out, c.expected);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(listing(), "s/\nv/\n");
    }
    ASSERT_EQ(register_pair(std::string(255, 'a'), 3).out, response(200, OK));
    EXPECT_EQ(atom_file(std::string(255, 'a')), "3\n");
    EXPECT_EQ(by_string(std::string(255, 'a')).out, response(200, atom_body(3)));
    EXPECT_EQ(by_string(std::string(256, 'a')).out, response(404, ATOM_NOT_FOUND));
}

TEST_F(Atoms, LookupsThatMeetDirectoriesOrJunk) {
    get("/v1/health");
    write_file(data_ + "/atoms/s/junk", "  hello 12\n");
    write_file(data_ + "/atoms/s/spaced", " \n\t-12 trailing text");
    write_file(data_ + "/atoms/s/empty", "");
    write_file(data_ + "/atoms/s/sign", "+\n");
    write_file(data_ + "/atoms/s/big", "2147483648\n");
    write_file(data_ + "/atoms/s/lead", "000000000000000000000042\n");
    write_file(data_ + "/atoms/v/-1", "minus one\n");
    write_file(data_ + "/atoms/v/8", "");
    write_file(data_ + "/atoms/v/9", "first\r\nsecond\n");
    write_file(data_ + "/atoms/v/10", std::string(600, 'L') + "\n");
    struct {
        std::string path;
        int status;
        std::string body;
    } cases[] = {
        {"/v1/atoms/by-string/junk", 500, CORRUPT_ATOM},
        {"/v1/atoms/by-string/spaced", 200, atom_body(-12)},
        {"/v1/atoms/by-string/empty", 500, CORRUPT_ATOM},
        {"/v1/atoms/by-string/sign", 500, CORRUPT_ATOM},
        {"/v1/atoms/by-string/big", 500, CORRUPT_ATOM},
        {"/v1/atoms/by-string/lead", 200, atom_body(42)},
        {"/v1/atoms/by-string/", 500, CORRUPT_ATOM},
        {"/v1/atoms/by-string/.", 500, CORRUPT_ATOM},
        {"/v1/atoms/by-string/..", 500, CORRUPT_ATOM},
        {"/v1/atoms/by-string/%2E%2E", 500, CORRUPT_ATOM},
        {"/v1/atoms/by-string/missing", 404, ATOM_NOT_FOUND},
        {"/v1/atoms/by-value/-1", 200, string_body("minus one")},
        {"/v1/atoms/by-value/8", 500, CORRUPT_VALUE},
        {"/v1/atoms/by-value/9", 200, string_body("first\r")},
        {"/v1/atoms/by-value/10", 200, string_body(std::string(511, 'L'))},
        {"/v1/atoms/by-value/", 404, VALUE_NOT_FOUND},
        {"/v1/atoms/by-value/2147483648", 404, VALUE_NOT_FOUND},
        {"/v1/atoms/by-value/4294967305", 404, VALUE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const process_result result = get(c.path);
        expect_answer(result, response(c.status, c.body));
    }
}

TEST_F(Atoms, ByValueReadsTheSegmentAsAtoiDoes) {
    ASSERT_EQ(register_pair("seven", 7).out, response(200, OK));
    ASSERT_EQ(register_pair("zero", 0).out, response(200, OK));
    for (const char* segment : {"7", "007", "+7", "7abc", " 7"}) {
        SCOPED_TRACE(segment);
        EXPECT_EQ(by_value(segment).out, response(200, string_body("seven")));
    }
    for (const char* segment : {"", "abc", "0", "-0"}) {
        SCOPED_TRACE(segment);
        EXPECT_EQ(by_value(segment).out, response(200, string_body("zero")));
    }
}

TEST_F(Atoms, ReRegistrationLeavesTheStaleDirectionInPlace) {
    ASSERT_EQ(register_pair("A", 1).out, response(200, OK));
    ASSERT_EQ(register_pair("A", 2).out, response(200, OK));
    EXPECT_EQ(atom_file("A"), "2\n");
    EXPECT_EQ(value_file("1"), "A\n");
    EXPECT_EQ(value_file("2"), "A\n");
    EXPECT_EQ(by_value("1").out, response(200, string_body("A")));

    ASSERT_EQ(register_pair("B", 2).out, response(200, OK));
    EXPECT_EQ(value_file("2"), "B\n");
    EXPECT_EQ(atom_file("A"), "2\n");
    EXPECT_EQ(by_string("A").out, response(200, atom_body(2)));
    EXPECT_EQ(by_string("B").out, response(200, atom_body(2)));
    EXPECT_EQ(get("/v1/health").out,
              response(200, R"({"status":"ok","format_count":0,"atom_count":2})"));
}

TEST_F(Atoms, StringsGoBackExactlyAsSent) {
    const std::string raw_line_feed = "before\nafter";
    const std::string control = "tab\there\x01";
    ASSERT_EQ(register_pair(raw_line_feed, 11).out, response(200, OK));
    EXPECT_EQ(value_file("11"), raw_line_feed + "\n");
    EXPECT_EQ(by_value("11").out, response(200, string_body("before")));
    ASSERT_EQ(register_pair(control, 12).out, response(200, OK));
    EXPECT_EQ(by_value("12").out, response(200, string_body(control)));
    // A backslash before a quote ends the string at that quote: the value is ab and a backslash.
    ASSERT_EQ(post_atom(R"({"string":"ab\"c","atom":13})").out, response(200, OK));
    EXPECT_EQ(value_file("13"), "ab\\\n");
    // A string that begins with a dot is stored and found, but not counted.
    ASSERT_EQ(register_pair(".dot", 14).out, response(200, OK));
    EXPECT_EQ(by_string(".dot").out, response(200, atom_body(14)));
    EXPECT_EQ(get("/v1/health").out,
              response(200, R"({"status":"ok","format_count":0,"atom_count":3})"));
}

TEST_F(Atoms, LongStringsAreStoredWholeAndReadBackUpTo511Bytes) {
    const std::string long_string(700, 'm');
    // 700 letters: a store name of 507 bytes is longer than a file name may be.
    EXPECT_EQ(register_pair(long_string, 20).out, response(500, CANNOT_WRITE_ATOM));
    // The value file takes the whole string even when its line is longer than a lookup reads.
    write_file(data_ + "/atoms/v/21", long_string + "\n");
    EXPECT_EQ(by_value("21").out, response(200, string_body(std::string(511, 'm'))));
}

TEST_F(Atoms, FailedWritesAnswerTheFileConcernedAndLeaveNothingShort) {
    ASSERT_EQ(register_pair("keep", 30).out, response(200, OK));
    // Under a 20-byte file-size limit the atom file "30\n" is written, the 201-byte value
    // file is not, and the old value file stays whole.
    const std::string long_string(200, 'q');
    const process_result result = register_pair(long_string, 30);
    ASSERT_EQ(result.out, response(200, OK));
    ASSERT_EQ(register_pair("keep", 30).out, response(200, OK));
    const process_result limited =
        post_atom("{\"string\":\"" + long_string + "\",\"atom\":30}", file_size_limited(20));
    expect_answer(limited, response(500, CANNOT_WRITE_VALUE));
    EXPECT_EQ(atom_file(long_string), "30\n");
    EXPECT_EQ(value_file("30"), "keep\n");
    EXPECT_EQ(listing(), "s/\ns/keep\ns/" + long_string + "\nv/\nv/30\n");

    // A limit below even the atom file fails the first write, and nothing is left.
    const process_result first = post_atom(R"({"string":"new","atom":123456})", file_size_limited(3));
    EXPECT_EQ(first.out, response(500, CANNOT_WRITE_ATOM));
    EXPECT_EQ(listing(), "s/\ns/keep\ns/" + long_string + "\nv/\nv/30\n");
}

TEST_F(Atoms, AMissingValueDirectoryFailsAfterTheAtomFileIsWritten) {
    get("/v1/health");
    fs::remove(data_ + "/atoms/v");
    write_file(data_ + "/atoms/v", "a file where the directory belongs");
    const process_result result = register_pair("half", 40);
    EXPECT_EQ(result.out, response(500, CANNOT_WRITE_VALUE));
    EXPECT_EQ(atom_file("half"), "40\n");
    EXPECT_EQ(read_file(data_ + "/atoms/v"), "a file where the directory belongs");
}

TEST_F(Atoms, TheTreeIsCreatedAgainBeforeWriting) {
    get("/v1/health");
    // Registration creates what is missing even when the first creation found a parent absent:
    // here the whole tree is gone before the request starts, and both calls see it so.
    fs::remove_all(data_);
    EXPECT_EQ(register_pair("again", 41).out, response(200, OK));
    EXPECT_EQ(atom_file("again"), "41\n");
}

TEST_F(Atoms, LookupsBesideRegistrationsNeverSeeAHalfWrittenFile) {
    ASSERT_EQ(register_pair("shared", 1).out, response(200, OK));
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread writer([&] {
        for (int i = 0; i < 60; i++) {
            if (register_pair("shared", 1 + i % 2).out != response(200, OK)) bad++;
        }
        done = true;
    });
    int lookups = 0;
    while (!done) {
        const std::string by_s = by_string("shared").out;
        const std::string by_v = by_value("1").out;
        if (by_s != response(200, atom_body(1)) && by_s != response(200, atom_body(2))) bad++;
        if (by_v != response(200, string_body("shared"))) bad++;
        lookups++;
    }
    writer.join();
    EXPECT_EQ(bad, 0) << "after " << lookups << " lookups";
}

}  // namespace
