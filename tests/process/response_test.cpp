// The response's framing as a web server reads it: the Status line, the two headers, the blank
// line and the body with nothing after it, and an exit status that a gone reader does not change.
#include <gtest/gtest.h>

#include <string>

#include "process_test.h"

using namespace velto_test;

namespace {

class Response : public process_test {};

TEST_F(Response, HeaderBlocksHaveTheirExactSizes) {
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
        const process_result result = run_cgi(cgi(c.method, c.path));
        EXPECT_EQ(result.out.find("\r\n\r\n") + 4, c.header_size);
        EXPECT_EQ(result.out.substr(0, 11), "Status: " + std::to_string(c.status));
        EXPECT_EQ(result.out.back(), '}');
    }
    // The unknown endpoint answer in full: 89 header bytes, 28 body bytes, nothing after.
    const process_result unknown = run_cgi(cgi("GET", "/nowhere"));
    EXPECT_EQ(unknown.out,
              "Status: 404 Not Found\r\nContent-Type: application/json\r\n"
              "Access-Control-Allow-Origin: *\r\n\r\n{\"error\":\"unknown endpoint\"}");
    EXPECT_EQ(unknown.out.size(), 89u + 28u);
}

TEST_F(Response, AClosedStandardOutputDoesNotChangeTheExitStatus) {
    // Started with standard output closed, as a host that gives none would start it.
    process_launch launch = cgi_launch(cgi("GET", "/v1/health"));
    launch.output = output_to::closed;
    const process_result result = run_process(launch);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
}

}  // namespace
