// response.h: the one way an answer leaves: a CGI response on the channel in force (standard
// output for the CGI program, the request's output stream for a FastCGI worker),
// made of the Status line, the JSON content type, the cross-origin header, a blank line and the
// body, with no line end after the body. Exactly one response is written per request.
#ifndef VELTO_CGI_RESPONSE_H
#define VELTO_CGI_RESPONSE_H

// A status paired with its one reason text; only the four below are ever sent.
struct http_status {
    int code;
    const char* reason;
};
inline constexpr http_status HTTP_OK{200, "OK"};
inline constexpr http_status HTTP_BAD_REQUEST{400, "Bad Request"};
inline constexpr http_status HTTP_NOT_FOUND{404, "Not Found"};
inline constexpr http_status HTTP_SERVER_ERROR{500, "Internal Server Error"};

// Writes the response with `body` (a NUL-terminated text; null writes the headers alone).
// Write failures are not reported: with standard output gone there is nobody to tell.
void send_json(const http_status& status, const char* body);
void send_bad_request(const char* body);
void send_server_error(const char* body);

#endif  // VELTO_CGI_RESPONSE_H
