// codecs.cpp: body field scanning and percent decoding.
#include "cgi/codecs.h"

#include <cstring>

#include "base/text.h"
#include "qsr.h"

namespace {

constexpr std::size_t QUOTED_KEY_SIZE = 256;
constexpr std::size_t DECODED_LIMIT = NAME_BUFFER_SIZE - 1;

bool is_key_skip(char c) {
    return c == '\t' || c == ' ' || c == ':';
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
