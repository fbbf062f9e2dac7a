// Fuzzes percent_decode and escape_store_name. The decoder is held to a plain reading of its
// rule; a store name must hold only unreserved bytes and whole lowercase %xx triplets, at most
// 509 bytes, never a '/', and must unescape to the decoded text or, once cut, to a beginning of it.
#include <cstdint>
#include <cstring>
#include <string>

#include "cgi/codecs.h"
#include "store/layout.h"
#include "fuzz_check.h"

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_unreserved(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
           c == '.' || c == '_';
}

bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

std::string reference_decode(const std::string& segment) {
    std::string out;
    for (std::size_t i = 0; i < segment.size() && out.size() < 511;) {
        if (segment[i] == '%' && i + 2 < segment.size() && hex_digit(segment[i + 1]) >= 0 &&
            hex_digit(segment[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(segment[i + 1]) * 16 + hex_digit(segment[i + 2]));
            i += 3;
        } else {
            out += segment[i++];
        }
    }
    return out;
}

// Checks the name and returns what it stands for.
std::string check_and_unescape(const char* name) {
    const std::size_t length = std::strlen(name);
    FUZZ_CHECK(length <= 509);
    std::string source;
    for (std::size_t i = 0; i < length;) {
        FUZZ_CHECK(name[i] != '/');
        if (is_unreserved(name[i])) {
            source += name[i++];
            continue;
        }
        FUZZ_CHECK(name[i] == '%' && i + 2 < length);
        FUZZ_CHECK(is_lower_hex(name[i + 1]) && is_lower_hex(name[i + 2]));
        const char byte = static_cast<char>(hex_digit(name[i + 1]) * 16 + hex_digit(name[i + 2]));
        // A byte that has a plain form is never escaped.
        FUZZ_CHECK(!is_unreserved(byte));
        source += byte;
        i += 3;
    }
    return source;
}

void check_escape(const std::string& source) {
    char name[NAME_BUFFER_SIZE];
    escape_store_name(source.c_str(), name);
    const std::string unescaped = check_and_unescape(name);
    const std::string whole(source.c_str());  // up to the first NUL
    FUZZ_CHECK(whole.compare(0, unescaped.size(), unescaped) == 0);
    // Cut only once the stop was reached.
    if (unescaped.size() < whole.size()) FUZZ_CHECK(std::strlen(name) >= 507);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string segment_bytes(reinterpret_cast<const char*>(data), size);
    const std::string segment(segment_bytes.c_str());

    char decoded[NAME_BUFFER_SIZE];
    percent_decode(segment_bytes.c_str(), decoded);
    const std::string expected = reference_decode(segment);
    FUZZ_CHECK(std::memcmp(decoded, expected.data(), expected.size()) == 0);
    FUZZ_CHECK(decoded[expected.size()] == '\0');

    check_escape(decoded);
    check_escape(segment_bytes);
    return 0;
}
