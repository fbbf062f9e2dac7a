// text.cpp: bounded formatting, hex and decimal.
#include "base/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

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

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool format_into(char* out, std::size_t size, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(out, size, format, arguments);
    va_end(arguments);
    return length >= 0 && static_cast<std::size_t>(length) < size;
}

int hex_value(char c) {
    return HEX_VALUES.value[static_cast<unsigned char>(c)];
}

bool is_lowercase_hex_digit(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f');
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

bool is_c_space(int c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

decimal_scan scan_decimal(const char* text, int32_t* value, const char** end) {
    while (is_c_space(*text)) text++;
    const bool is_negative = *text == '-';
    if (*text == '-' || *text == '+') text++;
    if (!is_digit(*text)) return decimal_scan::none;
    // Accumulated as a magnitude that may reach 2^31, the magnitude of INT32_MIN.
    constexpr int64_t MAGNITUDE_LIMIT = int64_t{1} << 31;
    int64_t magnitude = 0;
    bool is_beyond = false;
    for (; is_digit(*text); text++) {
        if (!is_beyond) magnitude = magnitude * 10 + (*text - '0');
        is_beyond = is_beyond || magnitude > MAGNITUDE_LIMIT;
    }
    if (end != nullptr) *end = text;
    if (is_beyond || (!is_negative && magnitude == MAGNITUDE_LIMIT)) {
        return decimal_scan::out_of_range;
    }
    *value = static_cast<int32_t>(is_negative ? -magnitude : magnitude);
    return decimal_scan::found;
}

bool read_decimal(const char* text, int32_t* value) {
    switch (scan_decimal(text, value)) {
        case decimal_scan::none:
            *value = 0;
            return true;
        case decimal_scan::out_of_range:
            return false;
        case decimal_scan::found:
            return true;
    }
    return false;
}

decimal_scan scan_plain_decimal(const char* text, std::size_t length, int32_t* value) {
    if (length == 0 || !is_digit(text[0]) || (text[0] == '0' && length > 1)) {
        return decimal_scan::none;
    }
    const char* end = nullptr;
    int32_t scanned = 0;
    const decimal_scan result = scan_decimal(text, &scanned, &end);
    if (end != text + length) return decimal_scan::none;
    if (result == decimal_scan::found) *value = scanned;
    return result;
}
