// handlers.h: the HTTP side of each route. A handler takes its argument from the route table,
// asks its registry, and writes exactly one response; the order of its checks decides which
// answer a request with several faults gets.
#ifndef VELTO_CGI_HANDLERS_H
#define VELTO_CGI_HANDLERS_H

// Any method on /v1/health: 200 with the number of format files and of atom files, counted by
// the store's counting rule. A directory that cannot be read counts 0: the report has no error
// answer.
void handle_health();

// POST /v1/formats. `request_body` is the NUL-terminated body, or null when the request brought
// no usable one. Registers the hex text of format_rep and answers its ID text as server_id.
void handle_format_post(const char* request_body);

// GET /v1/formats/<ID text>. `id` is the rest of the path, possibly empty. Answers the stored
// bytes as lowercase hex in format_rep.
void handle_format_get(const char* id);

// POST /v1/atoms with the fields "string" and "atom" (0 or more). `request_body` is the
// NUL-terminated body or null.
void handle_atom_post(const char* request_body);

// GET /v1/atoms/by-string/<segment>: the segment is percent-decoded (at most 511 bytes); answers
// the atom that the string's atom file holds.
void handle_atom_by_string(const char* segment);

// GET /v1/atoms/by-value/<segment>: the segment is read as atoi reads it; answers the first
// line of that atom's value file, at most 511 bytes, without its line feed.
void handle_atom_by_value(const char* segment);

#endif  // VELTO_CGI_HANDLERS_H
