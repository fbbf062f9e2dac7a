// response.cpp: CGI response framing.
#include "cgi/response.h"

#include <cstdio>
#include <cstring>

void send_json(const http_status& status, const char* body) {
    std::printf("Status: %d %s\r\n", status.code, status.reason);
    std::fputs(
        "Content-Type: application/json\r\n"
        "Access-Control-Allow-Origin: *\r\n"
        "\r\n",
        stdout);
    if (body != nullptr) std::fwrite(body, 1, std::strlen(body), stdout);
}

void send_bad_request(const char* body) {
    send_json(HTTP_BAD_REQUEST, body);
}

void send_server_error(const char* body) {
    send_json(HTTP_SERVER_ERROR, body);
}
