// What the program does when the format library or the allocator lets it down: a fake library
// preloaded in front of libqsr.so.3 hands back bad IDs or refuses the Nth allocation.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "process_test.h"

using namespace velto_test;

namespace {

const std::string CANNOT_WRITE = R"({"error":"cannot write format file"})";
const std::string REP_TEXT = "0008000000000000";

// The ID text of the fake library's ID of `length` bytes: 00 01 02 ...
std::string id_text(int length) {
    std::string bytes;
    for (int i = 0; i < length; i++) bytes += static_cast<char>(i);
    return to_hex(bytes);
}

class Library : public process_test {
protected:
    // A request with the fake library's settings `fake` added to its environment.
    process_result request(const std::string& method, const std::string& path,
                           const std::string& body, const environment& fake) const {
        environment e = cgi(method, path);
        e.insert(fake.begin(), fake.end());
        if (!body.empty()) e["CONTENT_LENGTH"] = std::to_string(body.size());
        return run_cgi(e, body, {RLIM_INFINITY, FAKE_QSR_PATH});
    }
    std::string formats() const { return tree_listing(data_ + "/formats"); }
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
        const process_result result = request("POST", "/v1/formats", body, c.fake);
        expect_answer(result, c.expected);
        EXPECT_EQ(formats(), "");
    }
    // The longest ID whose text is still a file name is stored and found.
    const environment longest = {{"FAKE_QSR_ID_LENGTH", "127"}};
    EXPECT_EQ(request("POST", "/v1/formats", body, longest).out,
              response(200, R"({"server_id":")" + id_text(127) + "\"}"));
    EXPECT_EQ(formats(), id_text(127) + "\n");
    EXPECT_EQ(request("GET", "/v1/formats/" + id_text(127), "", {}).out,
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
    ASSERT_EQ(request("POST", "/v1/formats", format_body, {}).out,
              response(200, R"({"server_id":")" + id_text(16) + "\"}"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.path + " failing call " + c.fail_call);
        const process_result result =
            request(c.method, c.path, c.body, {{"FAKE_QSR_FAIL_CALL", c.fail_call}});
        expect_answer(result, c.expected);
    }
    EXPECT_EQ(tree_listing(data_ + "/atoms"), "s/\nv/\n");
}

}  // namespace
