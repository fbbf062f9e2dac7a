// codecs.h: the request's texts: body field scanning and percent decoding of a path segment.
//
// Bodies are not parsed as JSON. A field is found at the first occurrence of its quoted key
// anywhere in the body, and its value is taken by a few fixed rules, with no escape processing.
#ifndef VELTO_CGI_CODECS_H
#define VELTO_CGI_CODECS_H

#include <cstdint>

#include "base/owners.h"
#include "store/layout.h"

// The raw value of the string field `key`: the bytes between the double quote that follows the
// first occurrence of "key" (after any tabs, spaces and colons) and the next double quote.
// Null when that occurrence is not followed so, when there is none, or when the copy cannot be
// allocated. The caller owns the copy.
heap_text json_string_field(const char* body, const char* key);

enum class int_field { absent, out_of_range, found };

// The integer after the first occurrence of "key" (tabs, spaces and colons skipped), read the
// way atoi reads: further white space, an optional sign, the decimal digits up to the first
// other byte, none giving 0. `found` sets *value; `out_of_range` says the digits do not fit a
// signed 32-bit integer, which is never wrapped into one.
int_field json_int_field(const char* body, const char* key, int32_t* value);

// Percent-decodes a path segment into out: each % followed by two hex digits becomes that byte,
// everything else is copied; at most NAME_BUFFER_SIZE - 1 bytes, then a NUL. A decoded NUL ends
// the text.
void percent_decode(const char* segment, char out[NAME_BUFFER_SIZE]);

#endif  // VELTO_CGI_CODECS_H
