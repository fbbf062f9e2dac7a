// Request intake: the CGI variables and CONTENT_LENGTH, the body read from standard input, the
// refusal of what is no CGI request, and the store tree that every request creates first.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

#include "process_test.h"

namespace fs = std::filesystem;
using namespace velto_test;

namespace {

const std::string HEALTH_EMPTY = R"({"status":"ok","format_count":0,"atom_count":0})";
const std::string UNKNOWN = R"({"error":"unknown endpoint"})";
const std::string NO_BODY = R"({"error":"missing request body"})";
const std::string TREE = "atoms/\natoms/s/\natoms/v/\nformats/\n";

class Intake : public process_test {};

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
        expect_answer(run_cgi(env, c.input), c.expected);
    }
}

TEST_F(Intake, ABodyIsReadOnlyForPost) {
    // A GET with a body and a length must not block on or consume the body.
    environment env = cgi("GET", "/v1/health");
    env["CONTENT_LENGTH"] = "5";
    expect_answer(run_cgi(env), response(200, HEALTH_EMPTY));
    env = cgi("POST", "/v1/health");
    env["CONTENT_LENGTH"] = "5";
    expect_answer(run_cgi(env, "12345"), response(200, HEALTH_EMPTY));
}

TEST_F(Intake, TheLargestBodyIsAcceptedAndOneMoreByteIsNot) {
    const std::size_t max = 10485760;
    std::string big = R"({"format_rep":1,"pad":")";
    big += std::string(max - big.size() - 2, 'p') + "\"}";
    ASSERT_EQ(big.size(), max);
    environment env = cgi("POST", "/v1/formats");
    env["CONTENT_LENGTH"] = std::to_string(max);
    expect_answer(run_cgi(env, big), response(400, R"({"error":"missing format_rep"})"));
    env["CONTENT_LENGTH"] = std::to_string(max + 1);
    expect_answer(run_cgi(env, big + " "), response(400, NO_BODY));
}

TEST_F(Intake, ANulByteEndsTheBody) {
    const std::string body = std::string(R"({"pad":"x)") + '\0' + R"(","format_rep":1})";
    environment env = cgi("POST", "/v1/formats");
    env["CONTENT_LENGTH"] = std::to_string(body.size());
    // Behind the NUL, the key is not seen at all.
    expect_answer(run_cgi(env, body), response(400, R"({"error":"missing format_rep"})"));
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
        expect_answer(run_cgi(env), not_cgi);
        EXPECT_EQ(tree_listing(data_), TREE);
    }
}

TEST_F(Intake, EveryRequestCreatesTheTreeWithMode0755LessTheUmask) {
    expect_answer(run_cgi(cgi("GET", "/nowhere")), response(404, UNKNOWN));
    EXPECT_EQ(tree_listing(data_), TREE);
    for (const char* dir : {"", "/formats", "/atoms", "/atoms/s", "/atoms/v"}) {
        struct stat status;
        ASSERT_EQ(::stat((data_ + dir).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0755u & ~022u) << dir;
    }
    // A directory that vanished is created again by the next request.
    fs::remove_all(data_ + "/atoms");
    expect_answer(run_cgi(cgi("GET", "/v1/health")), response(200, HEALTH_EMPTY));
    EXPECT_EQ(tree_listing(data_), TREE);
}

TEST_F(Intake, AMissingParentIsNeverCreated) {
    const std::string deep = (root_.path() / "no" / "data").string();
    environment env = cgi("GET", "/v1/health");
    env["VELTO_DATA_DIR"] = deep;
    expect_answer(run_cgi(env), response(200, HEALTH_EMPTY));
    EXPECT_FALSE(fs::exists(root_.path() / "no"));
}

TEST_F(Intake, ARelativeDataDirIsTakenFromTheWorkingDirectoryAndATrailingSlashIsHarmless) {
    environment env = cgi("GET", "/v1/health");
    env["VELTO_DATA_DIR"] = data_ + "/";
    expect_answer(run_cgi(env), response(200, HEALTH_EMPTY));
    EXPECT_EQ(tree_listing(data_), TREE);
}

TEST_F(Intake, ADataDirTooLongForAnyPathCreatesNothingBelowIt) {
    // data_dir itself is used directly; the paths below it would not fit and are never cut.
    std::string long_dir = root_.path().string() + "/";
    while (long_dir.size() < 1020) long_dir += "d";
    environment env = cgi("GET", "/v1/health");
    env["VELTO_DATA_DIR"] = long_dir;
    const process_result result = run_cgi(env);
    EXPECT_EQ(result.out, response(200, HEALTH_EMPTY));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(tree_listing(root_.path()), "");
}

TEST_F(Intake, DefaultDataDirWhenTheVariableIsAbsent) {
    // Only checks that the default is used, without touching what an operator keeps there.
    const process_result result = run_cgi({{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "/nowhere"}});
    EXPECT_EQ(result.out, response(404, UNKNOWN));
    EXPECT_TRUE(fs::is_directory("/tmp/velto_data/atoms/v"));
}

}  // namespace
