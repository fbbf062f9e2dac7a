// intake.cpp: the request's checks before routing, and its body.
#include "cgi/intake.h"

#include <cstdint>
#include <cstring>

#include "base/owners.h"
#include "base/text.h"
#include "cgi/messages.h"
#include "cgi/response.h"
#include "cgi/routes.h"
#include "qsr.h"
#include "store/layout.h"
#include "store/store.h"

char* read_request_body(const char* content_length, request_channel& channel) {
    if (content_length == nullptr) return nullptr;
    int32_t length = 0;
    if (!read_decimal(content_length, &length) || length < 1 || length > MAX_BODY_LENGTH) {
        return nullptr;
    }
    const auto size = static_cast<std::size_t>(length);
    heap_text body(static_cast<char*>(qsr_malloc(size + 1)));
    if (!body || channel.read(body.get(), size) != size) return nullptr;
    body.get()[size] = '\0';
    return body.release();
}

void serve_request(const char* method, const char* path, const char* content_length,
                   request_channel& channel) {
    const channel_scope answer_to(channel);
    // Before any check: even a refused request leaves the store tree in place. The tree stays
    // open for the request's own opens.
    hold_store_tree();
    ensure_store_dirs();
    if (method == nullptr || path == nullptr) return send_bad_request(BODY_NOT_CGI);
    const heap_text request_body(
        std::strcmp(method, "POST") == 0 ? read_request_body(content_length, channel) : nullptr);
    dispatch(method, path, request_body.get());
}
