// text.h: the byte-text routines below everything else: bounded formatting, hex and decimal.
// Nothing here knows of requests or of the store.
#ifndef VELTO_BASE_TEXT_H
#define VELTO_BASE_TEXT_H

#include <cstddef>
#include <cstdint>

// snprintf into out that fails rather than cut: false when the text would not fit.
bool format_into(char* out, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The digits that hex_encode writes.
inline constexpr char HEX_DIGITS[] = "0123456789abcdef";

// The value of `c` as a hex digit of either case, or -1 (also for NUL).
int hex_value(char c);

// Whether `c` is one of HEX_DIGITS: the only form a name of the store is written in.
bool is_lowercase_hex_digit(char c);

// Writes 2 * count lowercase hex digits and a NUL into out (2 * count + 1 bytes).
void hex_encode(const unsigned char* bytes, std::size_t count, char* out);

// Decodes the whole of `text` (digits in either case, nothing else) into out, which must hold
// at least strlen(text) / 2 bytes. The number of bytes written, or -1 for an odd length or a
// byte that is not a hex digit; after a failure out holds garbage.
long hex_decode(const char* text, unsigned char* out);

// White space as the C locale's isspace sees it, which is what atoi and scanf skip.
bool is_c_space(int c);

enum class decimal_scan {
    none,          // no digit after the white space and the sign
    out_of_range,  // digits that do not fit a signed 32-bit integer
    found,
};

// The one decimal reader: white space, an optional sign, then the decimal digits up to the first
// other byte of `text`, as atoi and scanf's "%d" read them. `found` sets *value. Unless the result
// is `none`, *end (when given) points just past the last digit. A number that does not fit is
// never wrapped into one.
decimal_scan scan_decimal(const char* text, int32_t* value, const char** end = nullptr);

// atoi's reading: no digit gives 0. False, with *value untouched, only when the number lies
// outside the signed 32-bit range.
bool read_decimal(const char* text, int32_t* value);

// Whether the `length` bytes at `text` are the plain decimal that "%d" writes for a number from 0
// up: digits only, no sign, no leading zero. `found` sets *value; `out_of_range` is such a number
// beyond INT32_MAX; `none` anything else. *value is left alone unless the result is `found`. The
// byte at text[length] must be readable and no digit (the NUL of a name, the line feed of a file).
decimal_scan scan_plain_decimal(const char* text, std::size_t length, int32_t* value);

#endif  // VELTO_BASE_TEXT_H
