// intake.h: one request, from the CGI variables and standard input to the one response.
#ifndef VELTO_CGI_INTAKE_H
#define VELTO_CGI_INTAKE_H

// The POST body as a block of exactly CONTENT_LENGTH bytes and a NUL, read from standard input
// with one block read; null when CONTENT_LENGTH is absent, does not read as a number from 1 to
// MAX_BODY_LENGTH, the block cannot be had, or fewer bytes arrive. Nothing past CONTENT_LENGTH
// bytes is read. The caller releases the block with free.
char* read_request_body(const char* content_length);

// One request once data_dir is fixed: creates the store tree, refuses a request without the
// method or the path as no CGI request, reads a POST body, dispatches, releases the body.
// `content_length` is the CONTENT_LENGTH variable or null.
void serve_request(const char* method, const char* path, const char* content_length);

#endif  // VELTO_CGI_INTAKE_H
