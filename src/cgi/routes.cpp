// routes.cpp: the route table, tried in order, path before method, first match wins.
#include "cgi/routes.h"

#include <cstring>
#include <string_view>

#include "cgi/handlers.h"
#include "cgi/messages.h"
#include "cgi/response.h"

namespace {

enum class match { exact, prefix };
enum class argument { body, rest_of_path };

struct route {
    std::string_view path;
    match path_match;
    const char* method;  // null: any method
    argument handler_argument;
    void (*handle)(const char*);
};

constexpr route ROUTES[] = {
    {"/v1/health", match::exact, nullptr, argument::body, [](const char*) { handle_health(); }},
    {"/v1/formats", match::exact, "POST", argument::body, handle_format_post},
    {"/v1/formats/", match::prefix, "GET", argument::rest_of_path, handle_format_get},
    {"/v1/atoms", match::exact, "POST", argument::body, handle_atom_post},
    {"/v1/atoms/by-string/", match::prefix, "GET", argument::rest_of_path, handle_atom_by_string},
    {"/v1/atoms/by-value/", match::prefix, "GET", argument::rest_of_path, handle_atom_by_value},
};

bool path_matches(const route& r, const char* path) {
    if (r.path_match == match::exact) return r.path == path;
    return std::strncmp(path, r.path.data(), r.path.size()) == 0;
}

}  // namespace

void dispatch(const char* method, const char* path, const char* request_body) {
    for (const route& r : ROUTES) {
        if (!path_matches(r, path)) continue;
        if (r.method != nullptr && std::strcmp(method, r.method) != 0) continue;
        return r.handle(r.handler_argument == argument::body ? request_body : path + r.path.size());
    }
    send_json(HTTP_NOT_FOUND, BODY_UNKNOWN_ENDPOINT);
}
