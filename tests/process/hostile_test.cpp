// Hostile input to the whole process: huge and odd CONTENT_LENGTH values, binary and NUL-holding
// bodies, a PATH_INFO of 64 KiB, control bytes and invalid UTF-8 in every field, ".." in every
// position, and a data directory so long that the store's paths no longer fit. Each request gets
// its own answer, byte for byte, exits 0 with nothing on standard error, and leaves no file
// outside the store.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "process_test.h"

namespace fs = std::filesystem;
using namespace velto_test;

namespace {

const std::string TREE = "atoms/\natoms/s/\natoms/v/\nformats/\n";
const std::string NO_BODY = R"({"error":"missing request body"})";
const std::string UNKNOWN = R"({"error":"unknown endpoint"})";
const std::string FORMAT_NOT_FOUND = R"({"error":"format not found"})";
const std::string ATOM_NOT_FOUND = R"({"error":"atom not found"})";
const std::string VALUE_NOT_FOUND = R"({"error":"atom value not found"})";
const std::string MISSING_PAIR = R"({"error":"missing string or atom"})";
const std::string CANNOT_WRITE_FORMAT = R"({"error":"cannot write format file"})";
const std::string CANNOT_WRITE_ATOM = R"({"error":"cannot write atom file"})";
const std::string REGISTERED = R"({"ok":true})";
const std::string HEALTH_EMPTY = R"({"status":"ok","format_count":0,"atom_count":0})";

// The sample representation's body, and its answers.
const std::string FORMAT_BODY = R"({"format_rep":")" + SAMPLE_REP_HEX + R"("})";
const std::string FORMAT_ID = SAMPLE_REP_ID;
const std::string STORED = R"({"server_id":")" + SAMPLE_REP_ID + R"("})";

std::string bytes_from(int first, int last) {
    std::string text;
    for (int b = first; b <= last; b++) text += static_cast<char>(b);
    return text;
}

struct hostile_case {
    std::string method;
    std::string path;
    std::optional<std::string> content_length;
    std::string input;
    std::string expected;  // the whole response body; its status comes with it
    int status;
};

class Hostile : public process_test {
protected:
    // Runs the cases in order against one store (later cases may find what earlier ones wrote).
    void run_cases(const std::vector<hostile_case>& cases) {
        for (std::size_t i = 0; i < cases.size(); i++) {
            const hostile_case& c = cases[i];
            SCOPED_TRACE("case " + std::to_string(i) + ": " + c.method.substr(0, 16) + " " +
                         c.path.substr(0, 48));
            environment env = cgi(c.method, c.path);
            if (c.content_length) env["CONTENT_LENGTH"] = *c.content_length;
            const process_result result = run_cgi(env, c.input);
            expect_answer(result, response(c.status, c.expected));
        }
    }

    // Every name under the test's root lies inside one of `stores`, and inside a store only in
    // its four directories.
    void expect_nothing_outside(const std::vector<fs::path>& stores) {
        for (const auto& entry : fs::recursive_directory_iterator(root_.path())) {
            const fs::path& p = entry.path();
            if (std::find(stores.begin(), stores.end(), p) != stores.end()) continue;
            bool is_inside = false;
            for (const auto& store : stores) {
                for (fs::path up = p; up.has_relative_path() && up != up.parent_path(); up = up.parent_path()) {
                    // A store itself, the directories leading to it, or a name inside its tree.
                    if (up == store) is_inside = true;
                }
                const std::string text = store.string();
                if (text.rfind(p.string() + "/", 0) == 0) is_inside = true;
            }
            EXPECT_TRUE(is_inside) << "outside the store: " << p;
            if (!entry.is_directory()) {
                const std::string parent = p.parent_path().filename().string();
                const std::string grandparent = p.parent_path().parent_path().filename().string();
                EXPECT_TRUE(parent == "formats" || (grandparent == "atoms" && (parent == "s" || parent == "v")))
                    << "a file where no file belongs: " << p;
            }
        }
    }

};

TEST_F(Hostile, ContentLengthValues) {
    ASSERT_EQ(FORMAT_BODY.size(), 49u);
    const std::string stored_or_not = STORED;
    std::vector<hostile_case> cases;
    for (const std::string& value : std::vector<std::string>{
             "99999999999999999999", "-99999999999999999999", "2147483647", "2147483648",
             "-2147483648", "4294967345",  // 2^32 + 49 must not wrap to 49
             "18446744073709551665",       // 2^64 + 49 neither
             "0x31", "+-49", "--49", " ", "\x01" "49", "\xef\xbc\x94\xef\xbc\x99",  // fullwidth 49
             std::string(65536, '9'), "10485761"}) {
        cases.push_back({"POST", "/v1/formats", value, FORMAT_BODY, NO_BODY, 400});
    }
    // Read as atoi reads: white space of every kind first, a sign, then digits up to any byte.
    for (const std::string& value : std::vector<std::string>{
             "\t\n\v\f\r 49", "+49", "49\xff", "49\x01", "49 49", std::string(65536, '0') + "49"}) {
        cases.push_back({"POST", "/v1/formats", value, FORMAT_BODY, stored_or_not, 200});
    }
    // 1e2 reads as 1: the body is "{", which holds no field.
    cases.push_back({"POST", "/v1/formats", "1e2", FORMAT_BODY, R"({"error":"missing format_rep"})", 400});
    // Far more announced than sent: the short body is dropped.
    cases.push_back({"POST", "/v1/formats", "10485760", FORMAT_BODY, NO_BODY, 400});
    run_cases(cases);
    expect_nothing_outside({data_});
    EXPECT_EQ(tree_listing(data_), TREE + "formats/" + FORMAT_ID + "\n");
}

TEST_F(Hostile, BinaryAndNulHoldingBodies) {
    std::string binary;
    for (int i = 0; i < 4096; i++) binary += static_cast<char>(1 + (i * 97) % 255);
    const std::string controls = bytes_from(1, 9) + bytes_from(11, 31) + "\x7f";  // no line feed
    const std::string high_low = bytes_from(128, 191);
    const std::string high_high = bytes_from(192, 255);
    const std::string invalid_utf8 = "\xc3\x28 \xed\xa0\x80 \xf8\x88\x80\x80\x80 \xc0\xaf \xfe\xff";
    auto pair = [](const std::string& string, int atom) {
        return R"({"string":")" + string + R"(","atom":)" + std::to_string(atom) + "}";
    };
    auto sized = [](const std::string& body) { return std::to_string(body.size()); };
    const std::string nul_in_string = std::string(R"({"string":"ab)") + '\0' + R"(cd","atom":1})";
    const std::string nul_before_atom = std::string(R"({"string":"abcd",)") + '\0' + R"("atom":1})";
    std::vector<hostile_case> cases = {
        // Behind a NUL, nothing is seen: the closing quote, the atom, the whole field.
        {"POST", "/v1/formats", sized(FORMAT_BODY) , FORMAT_BODY.substr(0, 30) + '\0' + FORMAT_BODY.substr(31),
         R"({"error":"missing format_rep"})", 400},
        {"POST", "/v1/atoms", "", "", NO_BODY, 400},
        {"POST", "/v1/atoms", sized(nul_in_string), nul_in_string, MISSING_PAIR, 400},
        {"POST", "/v1/atoms", sized(nul_before_atom), nul_before_atom, MISSING_PAIR, 400},
        {"POST", "/v1/atoms", sized(binary), binary, MISSING_PAIR, 400},
        {"POST", "/v1/formats", sized(binary), binary, R"({"error":"missing format_rep"})", 400},
        {"POST", "/v1/formats", "8", std::string(8, '\0'), R"({"error":"missing format_rep"})", 400},
        // Raw control bytes, bytes above 127 and invalid UTF-8 are stored as they came and come
        // back as they went, by value and by their percent-encoded form.
        {"POST", "/v1/atoms", sized(pair(controls, 1)), pair(controls, 1), REGISTERED, 200},
        {"POST", "/v1/atoms", sized(pair(high_low, 2)), pair(high_low, 2), REGISTERED, 200},
        {"POST", "/v1/atoms", sized(pair(high_high, 3)), pair(high_high, 3), REGISTERED, 200},
        {"POST", "/v1/atoms", sized(pair(invalid_utf8, 4)), pair(invalid_utf8, 4), REGISTERED, 200},
        {"GET", "/v1/atoms/by-value/1", std::nullopt, "", R"({"string":")" + controls + R"("})", 200},
        {"GET", "/v1/atoms/by-value/2", std::nullopt, "", R"({"string":")" + high_low + R"("})", 200},
        {"GET", "/v1/atoms/by-value/3", std::nullopt, "", R"({"string":")" + high_high + R"("})", 200},
        {"GET", "/v1/atoms/by-value/4", std::nullopt, "", R"({"string":")" + invalid_utf8 + R"("})", 200},
        {"GET", "/v1/atoms/by-string/" + percent_encode(controls), std::nullopt, "", R"({"atom":1})", 200},
        {"GET", "/v1/atoms/by-string/" + percent_encode(high_low), std::nullopt, "", R"({"atom":2})", 200},
        {"GET", "/v1/atoms/by-string/" + high_high, std::nullopt, "", R"({"atom":3})", 200},
        {"GET", "/v1/atoms/by-string/" + invalid_utf8, std::nullopt, "", R"({"atom":4})", 200},
    };
    run_cases(cases);
    expect_nothing_outside({data_});
    // Under escaped names only.
    for (const auto& entry : fs::directory_iterator(data_ + "/atoms/s")) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find_first_not_of("0123456789abcdefABCDEFGHIJKLMNOPQRSTUVWXYZghijklmnopqrstuvwxyz-._%"),
                  std::string::npos) << name;
    }
}

TEST_F(Hostile, PathInfoOf64KiB) {
    const std::size_t size = 65536;
    const std::string body = R"({"string":"x","atom":7})";
    const std::vector<hostile_case> cases = {
        {"POST", "/v1/atoms", std::to_string(body.size()), body, REGISTERED, 200},
        {"GET", "/v1/formats/" + std::string(size, 'a'), std::nullopt, "", FORMAT_NOT_FOUND, 404},
        {"GET", "/v1/formats/" + std::string(size, '/'), std::nullopt, "", FORMAT_NOT_FOUND, 404},
        {"GET", "/v1/atoms/by-string/" + std::string(size, 'a'), std::nullopt, "", ATOM_NOT_FOUND, 404},
        {"GET", "/v1/atoms/by-string/" + std::string(size, '.'), std::nullopt, "", ATOM_NOT_FOUND, 404},
        {"GET", "/v1/atoms/by-string/" + std::string(size, '%'), std::nullopt, "", ATOM_NOT_FOUND, 404},
        {"GET", "/v1/atoms/by-string/x" + std::string(size, '/'), std::nullopt, "", ATOM_NOT_FOUND, 404},
        // Leading zeros are no limit: this is the atom 7.
        {"GET", "/v1/atoms/by-value/" + std::string(size, '0') + "7", std::nullopt, "",
         R"({"string":"x"})", 200},
        {"GET", "/v1/atoms/by-value/" + std::string(size, '9'), std::nullopt, "", VALUE_NOT_FOUND, 404},
        {"GET", "/v1/atoms/by-value/-" + std::string(size, '9'), std::nullopt, "", VALUE_NOT_FOUND, 404},
        {"GET", "/v1/health" + std::string(size, '/'), std::nullopt, "", UNKNOWN, 404},
        {"GET", std::string(size, '/'), std::nullopt, "", UNKNOWN, 404},
        {std::string(size, 'G'), "/v1/health", std::nullopt, "",
         R"({"status":"ok","format_count":0,"atom_count":1})", 200},
        {"POST" + std::string(size, ' '), "/v1/atoms", "5", "12345", UNKNOWN, 404},
    };
    run_cases(cases);
    expect_nothing_outside({data_});
}

TEST_F(Hostile, ControlBytesAndInvalidUtf8InEveryField) {
    const std::string odd = "\x01\x1b[2J\x7f\xc3\x28\xff\r\n";
    const std::string body = R"({"string":"a)" + odd.substr(0, 8) + R"(","atom":9})";
    const std::string odd_store = (root_.path() / ("d" + odd)).string();
    std::vector<hostile_case> cases = {
        // In the method: only the health route takes any method.
        {odd, "/v1/health", std::nullopt, "", HEALTH_EMPTY, 200},
        {"GET" + odd, "/v1/formats/" + FORMAT_ID, std::nullopt, "", UNKNOWN, 404},
        {odd + "POST", "/v1/formats", std::to_string(FORMAT_BODY.size()), FORMAT_BODY, UNKNOWN, 404},
        // In the path.
        {"GET", "/v1/health" + odd, std::nullopt, "", UNKNOWN, 404},
        {"GET", odd + "/v1/health", std::nullopt, "", UNKNOWN, 404},
        {"GET", "/v1/formats/" + odd, std::nullopt, "", FORMAT_NOT_FOUND, 404},
        {"GET", "/v1/atoms/by-string/" + odd, std::nullopt, "", ATOM_NOT_FOUND, 404},
        {"GET", "/v1/atoms/by-value/" + odd + "9", std::nullopt, "", VALUE_NOT_FOUND, 404},
        // In the body, and found again through the path.
        {"POST", "/v1/atoms", std::to_string(body.size()), body, REGISTERED, 200},
        {"GET", "/v1/atoms/by-string/a" + odd.substr(0, 8), std::nullopt, "", R"({"atom":9})", 200},
        {"GET", "/v1/atoms/by-value/\t9" + odd, std::nullopt, "", R"({"string":"a)" + odd.substr(0, 8) + R"("})", 200},
    };
    run_cases(cases);
    // In CONTENT_LENGTH: see ContentLengthValues. In the data directory: a store like any other.
    data_ = odd_store;
    run_cases({
        {"POST", "/v1/formats", std::to_string(FORMAT_BODY.size()), FORMAT_BODY, STORED, 200},
        {"GET", "/v1/formats/" + FORMAT_ID, std::nullopt, "",
         R"({"format_rep":"0010000000000000aabbccddeeff0011"})", 200},
    });
    EXPECT_EQ(tree_listing(odd_store), TREE + "formats/" + FORMAT_ID + "\n");
    expect_nothing_outside({root_.path() / "data", odd_store});
}

TEST_F(Hostile, DotDotInEveryPosition) {
    auto pair = [](const std::string& string, int atom) {
        const std::string body = R"({"string":")" + string + R"(","atom":)" + std::to_string(atom) + "}";
        return hostile_case{"POST", "/v1/atoms", std::to_string(body.size()), body, REGISTERED, 200};
    };
    auto refused = [&](const std::string& string) {
        hostile_case c = pair(string, 1);
        c.expected = CANNOT_WRITE_ATOM;
        c.status = 500;
        return c;
    };
    const std::string corrupt = R"({"error":"corrupt atom file"})";
    // A file one and two levels above the store's directories, for a lookup that escapes.
    write_file(root_.path() / "bait", "5\n");
    std::vector<hostile_case> cases = {
        {"POST", "/v1/formats", std::to_string(FORMAT_BODY.size()), FORMAT_BODY, STORED, 200},
        // The route table compares the path as it is; nothing is resolved.
        {"GET", "/v1/../v1/health", std::nullopt, "", UNKNOWN, 404},
        {"GET", "/v1/health/..", std::nullopt, "", UNKNOWN, 404},
        {"GET", "/../v1/health", std::nullopt, "", UNKNOWN, 404},
        {"GET", "/v1/formats/..", std::nullopt, "", FORMAT_NOT_FOUND, 404},
        {"GET", "/v1/formats/../../bait", std::nullopt, "", FORMAT_NOT_FOUND, 404},
        {"GET", "/v1/formats/x/../" + FORMAT_ID, std::nullopt, "", FORMAT_NOT_FOUND, 404},
        {"GET", "/v1/formats/" + FORMAT_ID + "/..", std::nullopt, "", FORMAT_NOT_FOUND, 404},
        {"GET", "/v1/formats/..%2f..%2fbait", std::nullopt, "", FORMAT_NOT_FOUND, 404},
        {"GET", "/v1/formats/" + FORMAT_ID + "..", std::nullopt, "", FORMAT_NOT_FOUND, 404},
        // Atom strings: "." and ".." name directories and are refused; any other use of ".."
        // is escaped into one name inside atoms/s.
        refused(".."),
        refused("."),
        pair("../../bait", 2),
        pair("a/../b", 3),
        pair("..x..", 4),
        {"GET", "/v1/atoms/by-string/..", std::nullopt, "", corrupt, 500},
        {"GET", "/v1/atoms/by-string/%2e%2E", std::nullopt, "", corrupt, 500},
        {"GET", "/v1/atoms/by-string/../../bait", std::nullopt, "", R"({"atom":2})", 200},
        {"GET", "/v1/atoms/by-string/..%2F..%2Fbait", std::nullopt, "", R"({"atom":2})", 200},
        {"GET", "/v1/atoms/by-string/a/../b", std::nullopt, "", R"({"atom":3})", 200},
        {"GET", "/v1/atoms/by-string/../../../bait", std::nullopt, "", ATOM_NOT_FOUND, 404},
        {"GET", "/v1/atoms/by-string/..x..", std::nullopt, "", R"({"atom":4})", 200},
        {"GET", "/v1/atoms/by-value/../2", std::nullopt, "", VALUE_NOT_FOUND, 404},
        {"GET", "/v1/atoms/by-value/2/..", std::nullopt, "", R"({"string":"../../bait"})", 200},
        {"POST", "/v1/formats", "37", R"({"format_rep":"..10000000000000aabb"})",
         R"({"error":"invalid hex in format_rep"})", 400},
    };
    run_cases(cases);
    expect_nothing_outside({data_, root_.path() / "bait"});
    EXPECT_EQ(read_file(root_.path() / "bait"), "5\n");

    // In the data directory: a path through ".." is a path like any other.
    data_ = (root_.path() / "data" / ".." / "other").string();
    run_cases({{"POST", "/v1/formats", std::to_string(FORMAT_BODY.size()), FORMAT_BODY, STORED, 200}});
    EXPECT_EQ(tree_listing(root_.path() / "other"), TREE + "formats/" + FORMAT_ID + "\n");
}

// A directory of exactly `length` bytes below the root, made of components the file system
// takes; every component but the last exists afterwards.
std::string long_path(const fs::path& root, std::size_t length) {
    fs::create_directories(root);
    std::string path = root.string();
    while (path.size() + 1 + 200 < length) {
        path += "/" + std::string(200, 'd');
        // No path of the system may be longer than 4096 bytes.
        if (path.size() < 4000) fs::create_directory(path);
    }
    path += "/" + std::string(length - path.size() - 1, 'e');
    return path;
}

TEST_F(Hostile, DataDirSoLongThatPathsOverflow) {
    const std::string atom_body = R"({"string":"x","atom":1})";
    const std::string atom_length = std::to_string(atom_body.size());
    const std::string format_length = std::to_string(FORMAT_BODY.size());
    const std::string health_one = R"({"status":"ok","format_count":1,"atom_count":1})";

    // 970 bytes: every path fits, temporaries included; the store works.
    data_ = long_path(root_.path() / "fits", 970);
    run_cases({
        {"POST", "/v1/formats", format_length, FORMAT_BODY, STORED, 200},
        {"POST", "/v1/atoms", atom_length, atom_body, REGISTERED, 200},
        {"GET", "/v1/health", std::nullopt, "", health_one, 200},
        {"GET", "/v1/formats/" + FORMAT_ID, std::nullopt, "",
         R"({"format_rep":"0010000000000000aabbccddeeff0011"})", 200},
    });
    EXPECT_EQ(tree_listing(data_),
              "atoms/\natoms/s/\natoms/s/x\natoms/v/\natoms/v/1\nformats/\nformats/" + FORMAT_ID + "\n");

    // 1010 bytes: the tree fits, a format file's path does not, and an atom file's path does
    // but its temporary's does not. Nothing is ever stored under a cut path.
    data_ = long_path(root_.path() / "cut", 1010);
    run_cases({
        {"POST", "/v1/formats", format_length, FORMAT_BODY, CANNOT_WRITE_FORMAT, 500},
        {"GET", "/v1/formats/" + FORMAT_ID, std::nullopt, "", FORMAT_NOT_FOUND, 404},
        {"POST", "/v1/atoms", atom_length, atom_body, CANNOT_WRITE_ATOM, 500},
        {"GET", "/v1/atoms/by-string/x", std::nullopt, "", ATOM_NOT_FOUND, 404},
        {"GET", "/v1/health", std::nullopt, "", HEALTH_EMPTY, 200},
    });
    EXPECT_EQ(tree_listing(data_), TREE);

    // 1017 bytes: "atoms" still fits, "formats", "atoms/s" and "atoms/v" do not.
    data_ = long_path(root_.path() / "tree", 1017);
    run_cases({
        {"POST", "/v1/atoms", atom_length, atom_body, CANNOT_WRITE_ATOM, 500},
        {"GET", "/v1/health", std::nullopt, "", HEALTH_EMPTY, 200},
    });
    EXPECT_EQ(tree_listing(data_), "atoms/\n");

    // 5000 bytes: more than any path may hold; nothing can be created at all.
    data_ = long_path(root_.path() / "none", 5000);
    run_cases({
        {"POST", "/v1/formats", format_length, FORMAT_BODY, CANNOT_WRITE_FORMAT, 500},
        {"POST", "/v1/atoms", atom_length, atom_body, CANNOT_WRITE_ATOM, 500},
        {"GET", "/v1/atoms/by-value/1", std::nullopt, "", VALUE_NOT_FOUND, 404},
        {"GET", "/v1/health", std::nullopt, "", HEALTH_EMPTY, 200},
    });
    std::error_code too_long;
    EXPECT_FALSE(fs::exists(data_, too_long));
    // Only the directories this test made, and the stores inside them.
    for (const auto& entry : fs::recursive_directory_iterator(root_.path())) {
        if (!entry.is_directory()) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "x" || name == "1" || name == FORMAT_ID) << entry.path();
        }
    }
}

}  // namespace
