// The CGI process from environment to response: framing, routes, body intake, the store tree.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "cgi_process.h"

namespace fs = std::filesystem;
using namespace velto_test;

namespace {

const std::string HEALTH_EMPTY = R"({"status":"ok","format_count":0,"atom_count":0})";
const std::string UNKNOWN = R"({"error":"unknown endpoint"})";
const std::string NO_BODY = R"({"error":"missing request body"})";
const std::string TREE = "atoms/\natoms/s/\natoms/v/\nformats/\n";

class Intake : public ::testing::Test {
protected:
    environment cgi(const std::string& method, const std::string& path) const {
        return {{"REQUEST_METHOD", method}, {"PATH_INFO", path}, {"VELTO_DATA_DIR", data_}};
    }
    void expect_answer(const environment& env, const std::string& input,
                       const std::string& expected) const {
        const cgi_result result = run_cgi(env, input);
        EXPECT_EQ(result.out, expected);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_status, 0);
    }
    temp_dir root_;
    std::string data_ = (root_.path() / "data").string();
};

TEST_F(Intake, HeaderBlocksHaveTheirExactSizes) {
    struct {
        std::string method, path;
        std::size_t header_size;
        int status;
    } cases[] = {
        {"GET", "/v1/health", 82, 200},
        {"GET", "/v1/formats/", 91, 400},
        {"GET", "/nowhere", 89, 404},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const cgi_result result = run_cgi(cgi(c.method, c.path));
        EXPECT_EQ(result.out.find("\r\n\r\n") + 4, c.header_size);
        EXPECT_EQ(result.out.substr(0, 11), "Status: " + std::to_string(c.status));
        EXPECT_EQ(result.out.back(), '}');
    }
    // The unknown endpoint answer in full: 89 header bytes, 28 body bytes, nothing after.
    const cgi_result unknown = run_cgi(cgi("GET", "/nowhere"));
    EXPECT_EQ(unknown.out,
              "Status: 404 Not Found\r\nContent-Type: application/json\r\n"
              "Access-Control-Allow-Origin: *\r\n\r\n{\"error\":\"unknown endpoint\"}");
    EXPECT_EQ(unknown.out.size(), 89u + 28u);
}

TEST_F(Intake, RouteTable) {
    struct {
        std::string method, path;
        int status;
        std::string body;
    } cases[] = {
        {"GET", "/v1/health", 200, HEALTH_EMPTY},
        {"POST", "/v1/health", 200, HEALTH_EMPTY},
        {"DELETE", "/v1/health", 200, HEALTH_EMPTY},
        {"get", "/v1/health", 200, HEALTH_EMPTY},
        {"", "/v1/health", 200, HEALTH_EMPTY},
        {"GET", "/v1/health/", 404, UNKNOWN},
        {"GET", "/V1/health", 404, UNKNOWN},
        {"GET", "", 404, UNKNOWN},
        {"GET", "/", 404, UNKNOWN},
        {"GET", "/v1/formats", 404, UNKNOWN},
        {"GET", "/v1/atoms", 404, UNKNOWN},
        {"POST", "/v1/formats/", 404, UNKNOWN},
        {"POST", "/v1/atoms/by-value/7", 404, UNKNOWN},
        {"PUT", "/v1/formats", 404, UNKNOWN},
        {"post", "/v1/formats", 404, UNKNOWN},
        {"GET", "/v1/atoms/by-string", 404, UNKNOWN},
        {"GET", "/v1/formats/", 400, R"({"error":"missing format id"})"},
        {"GET", "/v1/formats/00", 404, R"({"error":"format not found"})"},
        {"GET", "/v1/atoms/by-string/x", 404, R"({"error":"atom not found"})"},
        {"GET", "/v1/atoms/by-value/7", 404, R"({"error":"atom value not found"})"},
        {"POST", "/v1/formats", 400, NO_BODY},
        {"POST", "/v1/atoms", 400, NO_BODY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.path);
        expect_answer(cgi(c.method, c.path), "", response(c.status, c.body));
    }
}

TEST_F(Intake, ContentLengthForms) {
    // The body {"format_rep":1} has 16 bytes and no string value: a body that arrives gets
    // "missing format_rep", one that does not gets "missing request body".
    const std::string body = R"({"format_rep":1})";
    const std::string got_body = response(400, R"({"error":"missing format_rep"})");
    const std::string no_body = response(400, NO_BODY);
    struct {
        std::optional<std::string> content_length;
        std::string input;
        std::string expected;
    } cases[] = {
        {"16", body, got_body},
        {" 16", body, got_body},
        {"16abc", body, got_body},
        {"+16", body, got_body},
        {"0016", body, got_body},
        {"16", body + "trailing bytes never read", got_body},
        {std::nullopt, body, no_body},
        {"", body, no_body},
        {"0", body, no_body},
        {"-1", body, no_body},
        {"abc", body, no_body},
        {"10485761", body, no_body},
        {"4294967312", body, no_body},  // 2^32 + 16 must not wrap to 16
        {"18446744073709551632", body, no_body},
        {"17", body, no_body},  // one byte short
        {"5", "abc", no_body},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content_length.value_or("(absent)"));
        environment env = cgi("POST", "/v1/formats");
        if (c.content_length) env["CONTENT_LENGTH"] = *c.content_length;
        expect_answer(env, c.input, c.expected);
    }
}

TEST_F(Intake, ABodyIsReadOnlyForPost) {
    // A GET with a body and a length must not block on or consume the body.
    environment env = cgi("GET", "/v1/health");
    env["CONTENT_LENGTH"] = "5";
    expect_answer(env, "", response(200, HEALTH_EMPTY));
    env = cgi("POST", "/v1/health");
    env["CONTENT_LENGTH"] = "5";
    expect_answer(env, "12345", response(200, HEALTH_EMPTY));
}

TEST_F(Intake, TheLargestBodyIsAcceptedAndOneMoreByteIsNot) {
    const std::size_t max = 10485760;
    std::string big = R"({"format_rep":1,"pad":")";
    big += std::string(max - big.size() - 2, 'p') + "\"}";
    ASSERT_EQ(big.size(), max);
    environment env = cgi("POST", "/v1/formats");
    env["CONTENT_LENGTH"] = std::to_string(max);
    expect_answer(env, big, response(400, R"({"error":"missing format_rep"})"));
    env["CONTENT_LENGTH"] = std::to_string(max + 1);
    expect_answer(env, big + " ", response(400, NO_BODY));
}

TEST_F(Intake, ANulByteEndsTheBody) {
    const std::string body = std::string(R"({"pad":"x)") + '\0' + R"(","format_rep":1})";
    environment env = cgi("POST", "/v1/formats");
    env["CONTENT_LENGTH"] = std::to_string(body.size());
    // Behind the NUL, the key is not seen at all.
    expect_answer(env, body, response(400, R"({"error":"missing format_rep"})"));
}

TEST_F(Intake, NotACgiRequestStillCreatesTheTree) {
    const std::string not_cgi = response(400, R"({"error":"not a CGI request"})");
    const environment cases[] = {
        {{"VELTO_DATA_DIR", data_}},
        {{"VELTO_DATA_DIR", data_}, {"REQUEST_METHOD", "GET"}},
        {{"VELTO_DATA_DIR", data_}, {"PATH_INFO", "/v1/health"}},
        {{"VELTO_DATA_DIR", data_}, {"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "3"}},
    };
    for (const auto& env : cases) {
        fs::remove_all(data_);
        expect_answer(env, "", not_cgi);
        EXPECT_EQ(tree_listing(data_), TREE);
    }
}

TEST_F(Intake, EveryRequestCreatesTheTreeWithMode0755LessTheUmask) {
    expect_answer(cgi("GET", "/nowhere"), "", response(404, UNKNOWN));
    EXPECT_EQ(tree_listing(data_), TREE);
    for (const char* dir : {"", "/formats", "/atoms", "/atoms/s", "/atoms/v"}) {
        struct stat status;
        ASSERT_EQ(::stat((data_ + dir).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0755u & ~022u) << dir;
    }
    // A directory that vanished is created again by the next request.
    fs::remove_all(data_ + "/atoms");
    expect_answer(cgi("GET", "/v1/health"), "", response(200, HEALTH_EMPTY));
    EXPECT_EQ(tree_listing(data_), TREE);
}

TEST_F(Intake, AMissingParentIsNeverCreated) {
    const std::string deep = (root_.path() / "no" / "data").string();
    environment env = cgi("GET", "/v1/health");
    env["VELTO_DATA_DIR"] = deep;
    expect_answer(env, "", response(200, HEALTH_EMPTY));
    EXPECT_FALSE(fs::exists(root_.path() / "no"));
}

TEST_F(Intake, ARelativeDataDirIsTakenFromTheWorkingDirectoryAndATrailingSlashIsHarmless) {
    environment env = cgi("GET", "/v1/health");
    env["VELTO_DATA_DIR"] = data_ + "/";
    expect_answer(env, "", response(200, HEALTH_EMPTY));
    EXPECT_EQ(tree_listing(data_), TREE);
}

TEST_F(Intake, ADataDirTooLongForAnyPathCreatesNothingBelowIt) {
    // data_dir itself is used directly; the paths below it would not fit and are never cut.
    std::string long_dir = root_.path().string() + "/";
    while (long_dir.size() < 1020) long_dir += "d";
    environment env = cgi("GET", "/v1/health");
    env["VELTO_DATA_DIR"] = long_dir;
    const cgi_result result = run_cgi(env);
    EXPECT_EQ(result.out, response(200, HEALTH_EMPTY));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(tree_listing(root_.path()), "");
}

TEST_F(Intake, HealthCountsVisibleEntriesOnly) {
    run_cgi(cgi("GET", "/v1/health"));
    write_file(data_ + "/formats/00112233445566778899aabbccddeeff", "x");
    write_file(data_ + "/formats/.hidden", "x");
    write_file(data_ + "/formats/.velto~1-0", "partial");
    fs::create_directory(data_ + "/formats/subdir");
    write_file(data_ + "/atoms/s/a", "1\n");
    write_file(data_ + "/atoms/s/b", "2\n");
    write_file(data_ + "/atoms/s/.b", "3\n");
    write_file(data_ + "/atoms/v/1", "a\n");
    expect_answer(cgi("GET", "/v1/health"), "",
                  response(200, R"({"status":"ok","format_count":2,"atom_count":2})"));
}

TEST_F(Intake, HealthCountsZeroWhereADirectoryIsAFile) {
    fs::create_directory(data_);
    write_file(data_ + "/formats", "not a directory");
    expect_answer(cgi("GET", "/v1/health"), "", response(200, HEALTH_EMPTY));
    EXPECT_EQ(read_file(data_ + "/formats"), "not a directory");
}

TEST_F(Intake, DefaultDataDirWhenTheVariableIsAbsent) {
    // Only checks that the default is used, without touching what an operator keeps there.
    const cgi_result result = run_cgi({{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "/nowhere"}});
    EXPECT_EQ(result.out, response(404, UNKNOWN));
    EXPECT_TRUE(fs::is_directory("/tmp/velto_data/atoms/v"));
}

TEST_F(Intake, AClosedStandardOutputDoesNotChangeTheExitStatus) {
    // Run through a shell that closes the program's standard output before it writes.
    const std::string command = "env -i REQUEST_METHOD=GET PATH_INFO=/v1/health VELTO_DATA_DIR=" +
                                data_ + " " VELTO_CGI_PATH " >&- 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

}  // namespace
