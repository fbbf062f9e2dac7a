// rules.cpp: the names and contents of a sound store.
#include "admin/rules.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cgi/codecs.h"
#include "formats/library.h"
#include "store/write_file.h"

namespace {

constexpr int64_t MAX_ATOM = 2147483647;

int lowercase_hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Plain decimal, as "%d" writes a non-negative number: digits only, no leading zero. -1 when
// `text` (of `length` bytes) is no such number, -2 when it is one beyond MAX_ATOM.
int64_t plain_decimal(const char* text, std::size_t length) {
    if (length == 0 || (text[0] == '0' && length > 1)) return -1;
    int64_t value = 0;
    for (std::size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9') return -1;
        if (value <= MAX_ATOM) value = value * 10 + (text[i] - '0');
    }
    return value > MAX_ATOM ? -2 : value;
}

rule_problem problem(const char* code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

rule_problem problem(const char* code, const char* format, ...) {
    rule_problem found;
    found.code = code;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(found.detail, sizeof found.detail, format, arguments);
    va_end(arguments);
    return found;
}

}  // namespace

bool is_temporary_name(const char* name) {
    return std::strncmp(name, TEMP_NAME_PREFIX, sizeof TEMP_NAME_PREFIX - 1) == 0;
}

bool is_id_text_name(const char* name) {
    const std::size_t length = std::strlen(name);
    if (length == 0 || length % 2 != 0 || length > 2 * static_cast<std::size_t>(MAX_SERVER_ID_SIZE))
        return false;
    for (std::size_t i = 0; i < length; i++) {
        if (lowercase_hex_value(name[i]) < 0) return false;
    }
    return true;
}

bool is_store_name(const char* name) {
    const std::size_t length = std::strlen(name);
    if (length == 0 || length >= NAME_BUFFER_SIZE - 2) return false;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    // Canonical means that escaping the decoded string gives the name back: this refuses
    // uppercase escapes, escapes of bytes that stand for themselves and bytes that must be
    // escaped, by the very routine that names atom files.
    char decoded[NAME_BUFFER_SIZE];
    std::size_t written = 0;
    for (std::size_t i = 0; i < length; i++) {
        if (name[i] != '%') {
            decoded[written++] = name[i];
            continue;
        }
        if (i + 2 >= length) return false;
        const int high = lowercase_hex_value(name[i + 1]);
        const int low = lowercase_hex_value(name[i + 2]);
        if (high < 0 || low < 0 || (high | low) == 0) return false;
        decoded[written++] = static_cast<char>(high << 4 | low);
        i += 2;
    }
    decoded[written] = '\0';
    char escaped[NAME_BUFFER_SIZE];
    escape_store_name(decoded, escaped);
    return std::strcmp(escaped, name) == 0;
}

bool parse_atom_value_name(const char* name, int32_t* atom) {
    const int64_t value = plain_decimal(name, std::strlen(name));
    if (value < 0) return false;
    *atom = static_cast<int32_t>(value);
    return true;
}

rule_problem check_format_content(const char* name, const unsigned char* bytes, std::size_t size) {
    if (size == 0)
        return problem("format_too_short", "empty, where a representation holds at least %zu bytes",
                       FORMAT_HEADER_SIZE);
    if (size < FORMAT_HEADER_SIZE) {
        return problem("format_too_short", "%zu bytes, shorter than the %zu-byte header", size,
                       FORMAT_HEADER_SIZE);
    }
    if (size >= MAX_FORMAT_FILE_SIZE)
        return problem("format_too_large", "%zu bytes, too large to serve", size);
    const uint32_t declared = declared_length(bytes);
    if (declared > size) {
        return problem("format_cut", "its header declares %u bytes, the file holds %zu", declared,
                       size);
    }
    char id_text[ID_TEXT_BUFFER_SIZE];
    if (!server_id_text(bytes, id_text)) {
        return problem("format_id_mismatch", "the format library gives no server ID for it");
    }
    if (std::strcmp(id_text, name) != 0) {
        return problem("format_id_mismatch", "its content has the server ID %s, not its name",
                       id_text);
    }
    return {};
}

rule_problem check_atom_content(const unsigned char* bytes, std::size_t size, int32_t* atom) {
    const auto* text = reinterpret_cast<const char*>(bytes);
    if (size == 0) return problem("atom_file_junk", "empty, where an atom and a line feed belong");
    if (text[size - 1] != '\n') {
        return problem("atom_file_junk", "does not end in a line feed after the atom");
    }
    const int64_t value = plain_decimal(text, size - 1);
    const bool is_negative = text[0] == '-' && plain_decimal(text + 1, size - 2) != -1;
    if (value == -2 || is_negative) {
        return problem("atom_out_of_range", "holds a number outside 0 to 2147483647");
    }
    if (value < 0) return problem("atom_file_junk", "holds no plain decimal atom and line feed");
    *atom = static_cast<int32_t>(value);
    return {};
}

rule_problem check_atom_value_content(const unsigned char* bytes, std::size_t size,
                                      std::size_t* line_count) {
    if (size == 0)
        return problem("atom_value_empty", "empty, where a string and a line feed belong");
    if (bytes[size - 1] != '\n') {
        return problem("atom_value_unterminated", "does not end in a line feed after the string");
    }
    std::size_t lines = 0;
    for (std::size_t i = 0; i < size; i++) {
        if (bytes[i] == '\0')
            return problem("atom_value_bad_byte", "holds a NUL byte at offset %zu", i);
        if (bytes[i] == '"') {
            return problem("atom_value_bad_byte", "holds a double quote at offset %zu", i);
        }
        if (bytes[i] == '\n') lines++;
    }
    *line_count = lines;
    return {};
}
