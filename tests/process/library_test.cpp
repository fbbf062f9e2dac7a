// What the program does when the format library or the allocator lets it down: a fake library
// preloaded in front of libqsr.so.3 hands back bad IDs or refuses the Nth allocation.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cgi_process.h"

using namespace velto_test;

namespace {

const std::string CANNOT_WRITE = R"({"error":"cannot write format file"})";
const std::string REP_TEXT = "0008000000000000";

std::string id_text(int length) {
    std::string text;
    const char* digits = "0123456789abcdef";
    for (int i = 0; i < length; i++) {
        text += digits[(i & 0xff) >> 4];
        text += digits[i & 0xf];
    }
    return text;
}

class Library : public ::testing::Test {
protected:
    environment env(const std::string& method, const std::string& path,
                    const environment& fake) const {
        environment e = {{"REQUEST_METHOD", method},
                         {"PATH_INFO", path},
                         {"VELTO_DATA_DIR", data_},
                         {"LD_PRELOAD", FAKE_QSR_PATH},
                         // The sanitizer runtime would refuse to start behind a preloaded library.
                         {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
        e.insert(fake.begin(), fake.end());
        return e;
    }
    cgi_result post(const std::string& path, const std::string& body, const environment& fake) const {
        environment e = env("POST", path, fake);
        e["CONTENT_LENGTH"] = std::to_string(body.size());
        return run_cgi(e, body);
    }
    std::string formats() const { return tree_listing(data_ + "/formats"); }
    temp_dir root_;
    std::string data_ = (root_.path() / "data").string();
};

TEST_F(Library, IdsOutsideWhatTheAnswerCanCarryAreRefused) {
    const std::string body = R"({"format_rep":")" + REP_TEXT + R"("})";
    struct {
        environment fake;
        std::string expected;
    } cases[] = {
        {{{"FAKE_QSR_ID_LENGTH", "0"}}, response(500, CANNOT_WRITE)},
        {{{"FAKE_QSR_ID_LENGTH", "-1"}}, response(500, CANNOT_WRITE)},
        {{{"FAKE_QSR_ID_LENGTH", "248"}}, response(500, CANNOT_WRITE)},
        {{{"FAKE_QSR_ID_LENGTH", "100000"}}, response(500, CANNOT_WRITE)},
        {{{"FAKE_QSR_NULL_VALUE", "1"}}, response(500, CANNOT_WRITE)},
        // 247 bytes fit the answer, but 494 characters are no file name: nothing can be stored.
        {{{"FAKE_QSR_ID_LENGTH", "247"}}, response(500, CANNOT_WRITE)},
        {{{"FAKE_QSR_ID_LENGTH", "128"}}, response(500, CANNOT_WRITE)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fake.begin()->first + "=" + c.fake.begin()->second);
        const cgi_result result = post("/v1/formats", body, c.fake);
        EXPECT_EQ(result.out, c.expected);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(formats(), "");
    }
    // The longest ID whose text is still a file name is stored and found.
    const environment longest = {{"FAKE_QSR_ID_LENGTH", "127"}};
    EXPECT_EQ(post("/v1/formats", body, longest).out,
              response(200, R"({"server_id":")" + id_text(127) + "\"}"));
    EXPECT_EQ(formats(), id_text(127) + "\n");
    EXPECT_EQ(run_cgi(env("GET", "/v1/formats/" + id_text(127), {})).out,
              response(200, R"({"format_rep":")" + REP_TEXT + "\"}"));
}

TEST_F(Library, EachRefusedAllocationHasItsAnswer) {
    const std::string format_body = R"({"format_rep":")" + REP_TEXT + R"("})";
    const std::string atom_body = R"({"string":"s","atom":1})";
    // Allocations in order: the body, then the field copy, then the handler's own blocks.
    struct {
        std::string method, path, body, fail_call;
        std::string expected;
    } cases[] = {
        {"POST", "/v1/formats", format_body, "1",
         response(400, R"({"error":"missing request body"})")},
        {"POST", "/v1/formats", format_body, "2", response(400, R"({"error":"missing format_rep"})")},
        {"POST", "/v1/formats", format_body, "3", response(500, CANNOT_WRITE)},
        {"POST", "/v1/atoms", atom_body, "2", response(400, R"({"error":"missing string or atom"})")},
        {"GET", "/v1/formats/" + id_text(16), "", "1", response(500, R"({"error":"read error"})")},
        {"GET", "/v1/formats/" + id_text(16), "", "2", response(500, R"({"error":"read error"})")},
    };
    ASSERT_EQ(post("/v1/formats", format_body, {}).out,
              response(200, R"({"server_id":")" + id_text(16) + "\"}"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.path + " failing call " + c.fail_call);
        environment e = env(c.method, c.path, {{"FAKE_QSR_FAIL_CALL", c.fail_call}});
        if (!c.body.empty()) e["CONTENT_LENGTH"] = std::to_string(c.body.size());
        const cgi_result result = run_cgi(e, c.body);
        EXPECT_EQ(result.out, c.expected);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_status, 0);
    }
    EXPECT_EQ(tree_listing(data_ + "/atoms"), "s/\nv/\n");
}

}  // namespace
