// intake.h: one request, from its CGI variables and body to the one response.
#ifndef VELTO_CGI_INTAKE_H
#define VELTO_CGI_INTAKE_H

#include "cgi/channel.h"

// The POST body as a block of exactly CONTENT_LENGTH bytes and a NUL, read from `channel` with
// one block read; null when CONTENT_LENGTH is absent, does not read as a number from 1 to
// MAX_BODY_LENGTH, the block cannot be had, or fewer bytes arrive. Nothing past CONTENT_LENGTH
// bytes is read. The caller releases the block with free.
char* read_request_body(const char* content_length, request_channel& channel);

// One request once data_dir is fixed: creates the store tree, refuses a request without the
// method or the path as no CGI request, reads a POST body, dispatches, releases the body.
// `content_length` is the CONTENT_LENGTH variable or null. The body is read from `channel` and
// the answer written to it; the channel in force is back as it was on return.
void serve_request(const char* method, const char* path, const char* content_length,
                   request_channel& channel = standard_channel());

#endif  // VELTO_CGI_INTAKE_H
