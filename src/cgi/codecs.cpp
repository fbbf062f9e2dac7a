// codecs.cpp: body field scanning, hex, percent decoding, store names.
#include "cgi/codecs.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "qsr.h"

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";
constexpr std::size_t QUOTED_KEY_SIZE = 256;
constexpr std::size_t DECODED_LIMIT = NAME_BUFFER_SIZE - 1;
constexpr std::size_t STORE_NAME_STOP = 507;

// Value of each byte as a hex digit, or -1. A table, not branches: a format registration can
// decode ten million digits.
constexpr struct hex_table {
    signed char value[256];
    constexpr hex_table() : value() {
        for (int b = 0; b < 256; b++) value[b] = -1;
        for (int d = 0; d < 10; d++) value['0' + d] = static_cast<signed char>(d);
        for (int d = 0; d < 6; d++) {
            value['a' + d] = static_cast<signed char>(10 + d);
            value['A' + d] = static_cast<signed char>(10 + d);
        }
    }
} HEX_VALUES;

constexpr struct unreserved_table {
    bool is_unreserved[256];
    constexpr unreserved_table() : is_unreserved() {
        for (int b = '0'; b <= '9'; b++) is_unreserved[b] = true;
        for (int b = 'A'; b <= 'Z'; b++) is_unreserved[b] = true;
        for (int b = 'a'; b <= 'z'; b++) is_unreserved[b] = true;
        is_unreserved[static_cast<unsigned char>('-')] = true;
        is_unreserved[static_cast<unsigned char>('.')] = true;
        is_unreserved[static_cast<unsigned char>('_')] = true;
    }
} UNRESERVED;

int hex_value(char c) {
    return HEX_VALUES.value[static_cast<unsigned char>(c)];
}

bool is_key_skip(char c) {
    return c == '\t' || c == ' ' || c == ':';
}

// White space as the C locale's isspace sees it, which is what atoi skips.
bool is_c_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The first byte after the first occurrence of the quoted key and the skip set, or null.
const char* after_quoted_key(const char* body, const char* key) {
    char quoted[QUOTED_KEY_SIZE];
    if (!format_into(quoted, sizeof quoted, "\"%s\"", key)) return nullptr;
    const char* at = std::strstr(body, quoted);
    if (at == nullptr) return nullptr;
    at += std::strlen(quoted);
    while (is_key_skip(*at)) at++;
    return at;
}

}  // namespace

heap_text json_string_field(const char* body, const char* key) {
    const char* at = after_quoted_key(body, key);
    if (at == nullptr || *at != '"') return nullptr;
    const char* value = at + 1;
    const char* end = std::strchr(value, '"');
    if (end == nullptr) return nullptr;
    const std::size_t length = static_cast<std::size_t>(end - value);
    heap_text copy(static_cast<char*>(qsr_malloc(length + 1)));
    if (!copy) return nullptr;
    std::memcpy(copy.get(), value, length);
    copy.get()[length] = '\0';
    return copy;
}

int_field json_int_field(const char* body, const char* key, int32_t* value) {
    const char* at = after_quoted_key(body, key);
    if (at == nullptr) return int_field::absent;
    return read_decimal(at, value) ? int_field::found : int_field::out_of_range;
}

bool read_decimal(const char* text, int32_t* value) {
    while (is_c_space(*text)) text++;
    const bool is_negative = *text == '-';
    if (*text == '-' || *text == '+') text++;
    // Accumulated as a magnitude that may reach 2^31, the magnitude of INT32_MIN.
    constexpr int64_t MAGNITUDE_LIMIT = int64_t{1} << 31;
    int64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > MAGNITUDE_LIMIT) return false;
    }
    if (!is_negative && magnitude == MAGNITUDE_LIMIT) return false;
    *value = static_cast<int32_t>(is_negative ? -magnitude : magnitude);
    return true;
}

void hex_encode(const unsigned char* bytes, std::size_t count, char* out) {
    for (std::size_t i = 0; i < count; i++) {
        out[2 * i] = HEX_DIGITS[bytes[i] >> 4];
        out[2 * i + 1] = HEX_DIGITS[bytes[i] & 0x0f];
    }
    out[2 * count] = '\0';
}

long hex_decode(const char* text, unsigned char* out) {
    const std::size_t length = std::strlen(text);
    if (length % 2 != 0) return -1;
    for (std::size_t i = 0; i < length / 2; i++) {
        const int high = hex_value(text[2 * i]);
        const int low = hex_value(text[2 * i + 1]);
        if ((high | low) < 0) return -1;
        out[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return static_cast<long>(length / 2);
}

void percent_decode(const char* segment, char out[NAME_BUFFER_SIZE]) {
    std::size_t written = 0;
    while (*segment != '\0' && written < DECODED_LIMIT) {
        // hex_value('\0') is -1, so a '%' in the last two bytes is literal and the scan never
        // passes the segment's end.
        if (segment[0] == '%' && hex_value(segment[1]) >= 0 && hex_value(segment[2]) >= 0) {
            out[written++] = static_cast<char>(hex_value(segment[1]) << 4 | hex_value(segment[2]));
            segment += 3;
        } else {
            out[written++] = *segment++;
        }
    }
    out[written] = '\0';
}

void escape_store_name(const char* source, char out[NAME_BUFFER_SIZE]) {
    std::size_t written = 0;
    for (; *source != '\0' && written < STORE_NAME_STOP; source++) {
        const auto byte = static_cast<unsigned char>(*source);
        if (UNRESERVED.is_unreserved[byte]) {
            out[written++] = static_cast<char>(byte);
        } else {
            out[written++] = '%';
            out[written++] = HEX_DIGITS[byte >> 4];
            out[written++] = HEX_DIGITS[byte & 0x0f];
        }
    }
    out[written] = '\0';
}

bool format_into(char* out, std::size_t size, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(out, size, format, arguments);
    va_end(arguments);
    return length >= 0 && static_cast<std::size_t>(length) < size;
}
