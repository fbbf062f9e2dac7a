// Fuzzes the body field scanners against a plain reading of their rules: the first occurrence of
// the quoted key, then tabs, spaces and colons, then for a string a double quote and the bytes up
// to the next one, for an integer what strtoll reads in base 10, refused outside 32 bits.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "cgi/codecs.h"
#include "fuzz_check.h"

namespace {

constexpr const char* KEYS[] = {"string", "atom", "format_rep", ""};

// The position just behind the quoted key and the skip set, or npos.
std::size_t after_key(std::string_view body, const std::string& key) {
    const std::string quoted = "\"" + key + "\"";
    std::size_t at = body.find(quoted);
    if (at == std::string_view::npos) return at;
    at += quoted.size();
    while (at < body.size() && (body[at] == '\t' || body[at] == ' ' || body[at] == ':')) at++;
    return at;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks a key: one in use, the empty key, or one made of the next bytes.
    std::size_t used = 1;
    std::string key;
    if (data[0] < 0x80) {
        key = KEYS[data[0] % (sizeof KEYS / sizeof KEYS[0])];
    } else {
        const std::size_t key_length = std::min<std::size_t>(data[0] - 0x80, size - 1);
        key.assign(reinterpret_cast<const char*>(data + 1), key_length);
        used += key_length;
        // A key is a C text: it ends at its first NUL.
        key.resize(std::strlen(key.c_str()));
    }
    // The body is a C text as well, read up to its first NUL.
    const std::string body_bytes(reinterpret_cast<const char*>(data + used), size - used);
    const char* body = body_bytes.c_str();
    const std::string_view text(body);

    // Keys that do not fit the quoted-key buffer are never found; the ones in use fit.
    const bool is_key_usable = key.size() + 3 <= 256;
    const std::size_t at = is_key_usable ? after_key(text, key) : std::string_view::npos;

    const heap_text value = json_string_field(body, key.c_str());
    if (at == std::string_view::npos || at >= text.size() || text[at] != '"' ||
        text.find('"', at + 1) == std::string_view::npos) {
        FUZZ_CHECK(!value);
    } else {
        const std::size_t end = text.find('"', at + 1);
        FUZZ_CHECK(value);
        FUZZ_CHECK(std::string_view(value.get()) == text.substr(at + 1, end - at - 1));
    }

    int32_t number = -7;
    const int_field field = json_int_field(body, key.c_str(), &number);
    if (at == std::string_view::npos) {
        FUZZ_CHECK(field == int_field::absent);
        FUZZ_CHECK(number == -7);
    } else {
        errno = 0;
        const long long expected = std::strtoll(body + at, nullptr, 10);
        if (errno == ERANGE || expected < INT32_MIN || expected > INT32_MAX) {
            FUZZ_CHECK(field == int_field::out_of_range);
            FUZZ_CHECK(number == -7);
        } else {
            FUZZ_CHECK(field == int_field::found);
            FUZZ_CHECK(number == expected);
        }
    }
    return 0;
}
