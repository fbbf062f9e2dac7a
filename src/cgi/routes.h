// routes.h: the route table.
#ifndef VELTO_CGI_ROUTES_H
#define VELTO_CGI_ROUTES_H

// Calls the first handler whose path test and then method test hold, or answers 404 "unknown
// endpoint". `method` and `path` are the CGI variables, `request_body` null or the body.
void dispatch(const char* method, const char* path, const char* request_body);

#endif  // VELTO_CGI_ROUTES_H
