// Lookups whose open or read of the store's file fails, as a shared or failing file system makes
// them fail: a name replaced on another host (ESTALE) is tried once more and found; a store that
// cannot be reached (EIO, ENOTCONN, ESTALE again) or a process out of descriptors answers the
// 500 of its route, never the 404 that tells a client the key is not there; a file that is
// missing or not readable keeps its 404.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "cgi_process.h"

#ifndef VELTO_FAULT_SHIM
#error "VELTO_FAULT_SHIM must name the preloaded fault library"
#endif

namespace fs = std::filesystem;
using namespace velto_test;

namespace {

const std::string FORMAT_ID = "8922697456a7890770ec1957f4aafb2a";
const std::string FORMAT_BODY = R"({"format_rep":"0010000000000000aabbccddeeff0011"})";

struct lookup {
    std::string path;
    std::string found;      // the 200 body
    std::string not_found;  // the 404 body
    std::string failed;     // the 500 body
};

const lookup LOOKUPS[] = {
    {"/v1/formats/" + FORMAT_ID, R"({"format_rep":"0010000000000000aabbccddeeff0011"})",
     R"({"error":"format not found"})", R"({"error":"read error"})"},
    {"/v1/atoms/by-string/x", R"({"atom":1})", R"({"error":"atom not found"})",
     R"({"error":"corrupt atom file"})"},
    {"/v1/atoms/by-value/1", R"({"string":"x"})", R"({"error":"atom value not found"})",
     R"({"error":"corrupt atom value file"})"},
};

class LookupFault : public ::testing::Test {
  protected:
    void SetUp() override {
        post("/v1/formats", FORMAT_BODY);
        post("/v1/atoms", R"({"string":"x","atom":1})");
    }
    void post(const std::string& path, const std::string& body) {
        const cgi_result result = run_cgi({{"REQUEST_METHOD", "POST"},
                                           {"PATH_INFO", path},
                                           {"CONTENT_LENGTH", std::to_string(body.size())},
                                           {"VELTO_DATA_DIR", data()}},
                                          body);
        ASSERT_EQ(result.out.substr(0, 15), "Status: 200 OK\r") << result.out;
    }
    // A GET with the shim preloaded; `fault` empty for none, `counts` a file for the call counts.
    cgi_result get(const std::string& path, const std::string& fault,
                   const std::string& counts = "") const {
        environment env{{"REQUEST_METHOD", "GET"},
                        {"PATH_INFO", path},
                        {"VELTO_DATA_DIR", data()},
                        {"LD_PRELOAD", VELTO_FAULT_SHIM},
                        {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
        if (!fault.empty()) env["VELTO_FAULT"] = fault;
        if (!counts.empty()) env["VELTO_FAULT_COUNTS"] = counts;
        return run_cgi(env);
    }
    // How many opens the lookup makes: the last of them opens the file itself.
    long open_count(const std::string& path) const {
        const std::string counts = (root_.path() / "counts").string();
        get(path, "", counts);
        std::istringstream in(read_file(counts).value_or(""));
        std::map<std::string, long> by_call;
        std::string name;
        long count = 0;
        while (in >> name >> count) by_call[name] = count;
        return by_call["open"];
    }
    std::string data() const { return (root_.path() / "data").string(); }

    temp_dir root_;
};

TEST_F(LookupFault, OnlyAnAbsentFileIsNotFound) {
    for (const lookup& l : LOOKUPS) {
        SCOPED_TRACE(l.path);
        const std::string file_open = std::to_string(open_count(l.path));
        const struct {
            std::string fault;
            int status;
            const std::string& body;
        } cases[] = {
            {"", 200, l.found},
            // Tried once more: a name replaced meanwhile is found.
            {"open:" + file_open + ":ESTALE", 200, l.found},
            {"read:1:ESTALE", 200, l.found},
            // Stale twice, or a store that cannot be reached: the route's 500.
            {"open:" + file_open + ":ESTALE:2", 500, l.failed},
            {"read:1:ESTALE:2", 500, l.failed},
            {"open:" + file_open + ":EIO", 500, l.failed},
            {"open:" + file_open + ":ENOTCONN", 500, l.failed},
            {"open:" + file_open + ":EMFILE", 500, l.failed},
            {"open:1:EIO:100", 500, l.failed},
            {"read:1:EIO", 500, l.failed},
            // Nothing there, or nothing this process may read: not found.
            {"open:" + file_open + ":ENOENT", 404, l.not_found},
            {"open:" + file_open + ":EACCES", 404, l.not_found},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.fault);
            const cgi_result result = get(l.path, c.fault);
            EXPECT_EQ(result.out, response(c.status, c.body));
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(result.exit_status, 0);
        }
    }
}

}  // namespace
