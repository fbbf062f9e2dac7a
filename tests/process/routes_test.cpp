// The route table: path before method, first match wins, the rest of a prefix route's path goes
// to its handler, and no match is the 404 "unknown endpoint".
#include <gtest/gtest.h>

#include <string>

#include "process_test.h"

using namespace velto_test;

namespace {

const std::string HEALTH_EMPTY = R"({"status":"ok","format_count":0,"atom_count":0})";
const std::string UNKNOWN = R"({"error":"unknown endpoint"})";
const std::string NO_BODY = R"({"error":"missing request body"})";

class Routes : public process_test {};

TEST_F(Routes, RouteTable) {
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
        expect_answer(run_cgi(cgi(c.method, c.path)), response(c.status, c.body));
    }
}

}  // namespace
