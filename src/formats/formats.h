// formats.h: format registration and retrieval.
#ifndef VELTO_FORMATS_FORMATS_H
#define VELTO_FORMATS_FORMATS_H

// POST /v1/formats. `request_body` is the NUL-terminated body, or null when the request brought
// no usable one. Decodes the hex text of format_rep, checks the length its header declares,
// obtains its server ID and stores it under formats/<ID text> unless a file is there already;
// the first representation stored under an ID stays. Answers the ID text as server_id.
void handle_format_post(const char* request_body);

// GET /v1/formats/<ID text>. `id` is the rest of the path, possibly empty, used as the file name
// without decoding or case folding; one holding '/' or beginning with '.' names no format file.
// Answers the stored bytes as lowercase hex in format_rep.
void handle_format_get(const char* id);

#endif  // VELTO_FORMATS_FORMATS_H
