// layout.cpp: the names and contents of the store's files.
#include "store/layout.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "formats/library.h"

namespace {

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

int lowercase_hex_value(char c) {
    return is_lowercase_hex_digit(c) ? hex_value(c) : -1;
}

content_problem problem(content_fault fault, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

content_problem problem(content_fault fault, const char* format, ...) {
    content_problem found;
    found.fault = fault;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(found.detail, sizeof found.detail, format, arguments);
    va_end(arguments);
    return found;
}

}  // namespace

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

bool is_id_text_name(const char* name) {
    const std::size_t length = std::strlen(name);
    if (length == 0 || length % 2 != 0 || length > 2 * static_cast<std::size_t>(MAX_SERVER_ID_SIZE))
        return false;
    for (std::size_t i = 0; i < length; i++) {
        if (!is_lowercase_hex_digit(name[i])) return false;
    }
    return true;
}

bool is_store_name(const char* name) {
    const std::size_t length = std::strlen(name);
    if (length == 0 || length > MAX_STORE_NAME_LENGTH) return false;
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
    return scan_plain_decimal(name, std::strlen(name), atom) == decimal_scan::found;
}

bool is_atom_value_name(const char* name) {
    int32_t atom = 0;
    return parse_atom_value_name(name, &atom);
}

bool is_temporary_name(const char* name) {
    return std::strncmp(name, TEMP_NAME_PREFIX, sizeof TEMP_NAME_PREFIX - 1) == 0;
}

bool is_counted_name(const char* name) {
    return name[0] != '.';
}

bool format_atom_file(int32_t atom, char (&out)[ATOM_FILE_TEXT_SIZE]) {
    return format_into(out, sizeof out, "%d\n", atom);
}

bool format_atom_value_name(int32_t atom, char (&out)[ATOM_FILE_TEXT_SIZE]) {
    return format_into(out, sizeof out, "%d", atom);
}

bool read_atom_text(const char* text, int32_t* atom) {
    return scan_decimal(text, atom) == decimal_scan::found;
}

void end_first_line(char* line, std::size_t size) {
    line[size] = '\0';
    if (char* line_feed = static_cast<char*>(std::memchr(line, '\n', size))) {
        // The text up to a NUL ends there as it does for every reader of a C string; the line
        // feed is dropped only when it is the last byte of that text.
        line_feed[1] = '\0';
    }
    const std::size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') line[length - 1] = '\0';
}

content_problem check_format_content(const char* name, const unsigned char* bytes,
                                     std::size_t size) {
    if (size == 0) {
        return problem(content_fault::format_too_short,
                       "empty, where a representation holds at least %zu bytes",
                       FORMAT_HEADER_SIZE);
    }
    if (size < FORMAT_HEADER_SIZE) {
        return problem(content_fault::format_too_short,
                       "%zu bytes, shorter than the %zu-byte header", size, FORMAT_HEADER_SIZE);
    }
    if (size > MAX_FORMAT_FILE_SIZE)
        return problem(content_fault::format_too_large, "%zu bytes, too large to serve", size);
    const uint32_t declared = declared_length(bytes);
    if (declared > size) {
        return problem(content_fault::format_cut,
                       "its header declares %u bytes, the file holds %zu", declared, size);
    }
    char id_text[ID_TEXT_BUFFER_SIZE];
    if (!server_id_text(bytes, id_text)) {
        return problem(content_fault::format_id_mismatch,
                       "the format library gives no server ID for it");
    }
    if (std::strcmp(id_text, name) != 0) {
        return problem(content_fault::format_id_mismatch,
                       "its content has the server ID %s, not its name", id_text);
    }
    return {};
}

content_problem check_atom_content(const unsigned char* bytes, std::size_t size, int32_t* atom) {
    const auto* text = reinterpret_cast<const char*>(bytes);
    if (size == 0) {
        return problem(content_fault::atom_file_junk,
                       "empty, where an atom and a line feed belong");
    }
    if (text[size - 1] != '\n') {
        return problem(content_fault::atom_file_junk, "does not end in a line feed after the atom");
    }
    int32_t value = 0;
    const decimal_scan plain = scan_plain_decimal(text, size - 1, &value);
    const bool is_negative = text[0] == '-' && size > 1 &&
                             scan_plain_decimal(text + 1, size - 2, &value) != decimal_scan::none;
    if (plain == decimal_scan::out_of_range || is_negative) {
        return problem(content_fault::atom_out_of_range, "holds a number outside 0 to 2147483647");
    }
    if (plain == decimal_scan::none) {
        return problem(content_fault::atom_file_junk, "holds no plain decimal atom and line feed");
    }
    *atom = value;
    return {};
}

content_problem check_atom_value_content(const unsigned char* bytes, std::size_t size,
                                         std::size_t* line_count) {
    if (size == 0) {
        return problem(content_fault::atom_value_empty,
                       "empty, where a string and a line feed belong");
    }
    if (bytes[size - 1] != '\n') {
        return problem(content_fault::atom_value_unterminated,
                       "does not end in a line feed after the string");
    }
    std::size_t lines = 0;
    for (std::size_t i = 0; i < size; i++) {
        if (bytes[i] == '\0') {
            return problem(content_fault::atom_value_bad_byte, "holds a NUL byte at offset %zu", i);
        }
        if (bytes[i] == '"') {
            return problem(content_fault::atom_value_bad_byte, "holds a double quote at offset %zu",
                           i);
        }
        if (bytes[i] == '\n') lines++;
    }
    *line_count = lines;
    return {};
}

namespace layout_detail {

content_problem check_atom_file(const char*, const unsigned char* bytes, std::size_t size) {
    int32_t atom = 0;
    return check_atom_content(bytes, size, &atom);
}

content_problem check_atom_value_file(const char*, const unsigned char* bytes, std::size_t size) {
    std::size_t line_count = 0;
    return check_atom_value_content(bytes, size, &line_count);
}

}  // namespace layout_detail
