// codecs.h: the text routines that the handlers share: body field scanning, hex, percent
// decoding, store-name escaping, decimal reading and bounded formatting.
//
// Bodies are not parsed as JSON. A field is found at the first occurrence of its quoted key
// anywhere in the body, and its value is taken by a few fixed rules, with no escape processing.
#ifndef VELTO_CGI_CODECS_H
#define VELTO_CGI_CODECS_H

#include <cstddef>
#include <cstdint>

#include "cgi/owners.h"

// Both percent_decode and escape_store_name write into caller buffers of this size.
inline constexpr std::size_t NAME_BUFFER_SIZE = 512;

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

// Reads text the way atoi does (see json_int_field) into *value. False, with *value untouched,
// when the number lies outside the signed 32-bit range.
bool read_decimal(const char* text, int32_t* value);

// Writes 2 * count lowercase hex digits and a NUL into out (2 * count + 1 bytes).
void hex_encode(const unsigned char* bytes, std::size_t count, char* out);

// Decodes the whole of `text` (digits in either case, nothing else) into out, which must hold
// at least strlen(text) / 2 bytes. The number of bytes written, or -1 for an odd length or a
// byte that is not a hex digit; after a failure out holds garbage.
long hex_decode(const char* text, unsigned char* out);

// Percent-decodes a path segment into out: each % followed by two hex digits becomes that byte,
// everything else is copied; at most 511 bytes, then a NUL. A decoded NUL ends the text.
void percent_decode(const char* segment, char out[NAME_BUFFER_SIZE]);

// The store name of `source`: 0-9 A-Z a-z - . _ stand for themselves, every other byte is % and
// two lowercase hex digits. Stops once 507 bytes or more are written, so the name holds at most
// 509 bytes, never a cut triplet and never a '/'.
void escape_store_name(const char* source, char out[NAME_BUFFER_SIZE]);

// snprintf into out that fails rather than cut: false when the text would not fit.
bool format_into(char* out, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#endif  // VELTO_CGI_CODECS_H
