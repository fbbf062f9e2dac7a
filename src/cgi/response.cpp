// response.cpp: CGI response framing, written to the channel in force.
#include "cgi/response.h"

#include <cstdio>
#include <cstring>

#include "cgi/channel.h"

namespace {

// The longest status line and the three fixed lines fit with room to spare.
constexpr std::size_t HEADER_BLOCK_SIZE = 160;

}  // namespace

void send_json(const http_status& status, const char* body) {
    char header[HEADER_BLOCK_SIZE];
    const int length = std::snprintf(header, sizeof header,
                                     "Status: %d %s\r\n"
                                     "Content-Type: application/json\r\n"
                                     "Access-Control-Allow-Origin: *\r\n"
                                     "\r\n",
                                     status.code, status.reason);
    // Only the four fixed statuses come here, and each fits.
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof header) return;
    request_channel& channel = current_channel();
    channel.write(header, static_cast<std::size_t>(length));
    if (body != nullptr) channel.write(body, std::strlen(body));
}

void send_bad_request(const char* body) {
    send_json(HTTP_BAD_REQUEST, body);
}

void send_server_error(const char* body) {
    send_json(HTTP_SERVER_ERROR, body);
}
