// routes.cpp: request intake and the route table.
#include "cgi/routes.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "atoms/atoms.h"
#include "cgi/codecs.h"
#include "cgi/messages.h"
#include "cgi/owners.h"
#include "cgi/response.h"
#include "formats/formats.h"
#include "qsr.h"
#include "store/health.h"
#include "store/store.h"

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

char* read_request_body(const char* content_length) {
    if (content_length == nullptr) return nullptr;
    int32_t length = 0;
    if (!read_decimal(content_length, &length) || length < 1 || length > MAX_BODY_LENGTH) {
        return nullptr;
    }
    const auto size = static_cast<std::size_t>(length);
    heap_text body(static_cast<char*>(qsr_malloc(size + 1)));
    if (!body || std::fread(body.get(), 1, size, stdin) != size) return nullptr;
    body.get()[size] = '\0';
    return body.release();
}

void dispatch(const char* method, const char* path, const char* request_body) {
    for (const route& r : ROUTES) {
        if (!path_matches(r, path)) continue;
        if (r.method != nullptr && std::strcmp(method, r.method) != 0) continue;
        return r.handle(r.handler_argument == argument::body ? request_body : path + r.path.size());
    }
    send_json(HTTP_NOT_FOUND, BODY_UNKNOWN_ENDPOINT);
}

void serve_request(const char* method, const char* path, const char* content_length) {
    // Before any check: even a refused request leaves the store tree in place.
    ensure_store_dirs();
    if (method == nullptr || path == nullptr) return send_bad_request(BODY_NOT_CGI);
    const heap_text request_body(
        std::strcmp(method, "POST") == 0 ? read_request_body(content_length) : nullptr);
    dispatch(method, path, request_body.get());
}
