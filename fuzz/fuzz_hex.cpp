// Fuzzes hex_decode and hex_encode: a text decodes exactly when it has an even length and only
// hex digits, to bytes that encode back to the text in lower case; any bytes survive a round trip.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "fuzz_check.h"

namespace {

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // As a text: up to the first NUL.
    const std::string text_bytes(reinterpret_cast<const char*>(data), size);
    const char* text = text_bytes.c_str();
    const std::size_t length = std::strlen(text);
    bool is_valid = length % 2 == 0;
    for (std::size_t i = 0; i < length && is_valid; i++) is_valid = digit_value(text[i]) >= 0;

    // Exactly the size the callers give it, so that ASan sees any byte written past it.
    std::vector<unsigned char> decoded(length / 2);
    const long count = hex_decode(text, decoded.data());
    if (!is_valid) {
        FUZZ_CHECK(count == -1);
    } else {
        FUZZ_CHECK(count == static_cast<long>(length / 2));
        std::vector<char> encoded(length + 1);
        hex_encode(decoded.data(), decoded.size(), encoded.data());
        for (std::size_t i = 0; i < length; i++) {
            FUZZ_CHECK(digit_value(encoded[i]) == digit_value(text[i]));
            FUZZ_CHECK((encoded[i] >= '0' && encoded[i] <= '9') || (encoded[i] >= 'a' && encoded[i] <= 'f'));
        }
        FUZZ_CHECK(encoded[length] == '\0');
    }

    // Any bytes, NULs included, round-trip.
    std::vector<char> hex(2 * size + 1);
    hex_encode(data, size, hex.data());
    FUZZ_CHECK(std::strlen(hex.data()) == 2 * size);
    std::vector<unsigned char> back(size);
    FUZZ_CHECK(hex_decode(hex.data(), back.data()) == static_cast<long>(size));
    FUZZ_CHECK(size == 0 || std::memcmp(back.data(), data, size) == 0);
    return 0;
}
