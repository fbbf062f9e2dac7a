// Lookups whose open or read of the store's file fails, as a shared or failing file system makes
// them fail: a name replaced on another host (ESTALE) is tried once more and found; a store that
// cannot be reached (EIO, ENOTCONN, ESTALE again) or a process out of descriptors answers the
// 500 of its route, never the 404 that tells a client the key is not there; a file that is
// missing or not readable keeps its 404.
#include <gtest/gtest.h>

#include <string>

#include "process_test.h"
#include "shim_counts.h"

#ifndef VELTO_FAULT_SHIM
#error "VELTO_FAULT_SHIM must name the preloaded fault library"
#endif

using namespace velto_test;

namespace {

const std::string FORMAT_ID = SAMPLE_REP_ID;
const std::string FORMAT_BODY = R"({"format_rep":")" + SAMPLE_REP_HEX + R"("})";

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

class LookupFault : public process_test {
  protected:
    void SetUp() override {
        for (const auto& [path, body] : {std::pair<std::string, std::string>{"/v1/formats", FORMAT_BODY},
                                         {"/v1/atoms", R"({"string":"x","atom":1})"}}) {
            const process_result result = post(path, body);
            ASSERT_EQ(result.out.substr(0, 15), "Status: 200 OK\r") << result.out;
        }
    }
    // A GET with the shim preloaded; `fault` empty for none, `counts` a file for the call counts.
    process_result get_through_shim(const std::string& path, const std::string& fault,
                                    const std::string& counts = "") const {
        environment env = cgi("GET", path);
        if (!fault.empty()) env["VELTO_FAULT"] = fault;
        if (!counts.empty()) env["VELTO_FAULT_COUNTS"] = counts;
        return run_cgi(env, "", {RLIM_INFINITY, VELTO_FAULT_SHIM});
    }
    // How many opens the lookup makes: the last of them opens the file itself.
    long open_count(const std::string& path) const {
        const std::string counts = (root_.path() / "counts").string();
        get_through_shim(path, "", counts);
        return read_call_counts(counts)["open"];
    }
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
            const process_result result = get_through_shim(l.path, c.fault);
            expect_answer(result, response(c.status, c.body));
        }
    }
}

}  // namespace
