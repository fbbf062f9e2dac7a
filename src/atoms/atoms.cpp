// atoms.cpp: atom registration and lookup.
#include "atoms/atoms.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "cgi/codecs.h"
#include "cgi/messages.h"
#include "cgi/owners.h"
#include "cgi/response.h"
#include "store/store.h"
#include "store/write_file.h"

namespace {

constexpr std::size_t ATOM_TEXT_SIZE = 16;
constexpr std::size_t ATOM_BODY_SIZE = 256;
constexpr std::size_t LINE_BUFFER_SIZE = 512;
constexpr std::size_t STRING_BODY_SIZE = 1024;

bool is_c_space(int c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads the number at the start of an atom file the way fscanf's "%d" does (white space, an
// optional sign, at least one digit; the rest ignored), refusing one outside the signed 32-bit
// range rather than taking some other number for it.
bool read_atom(std::FILE* stream, int32_t* atom) {
    int c = std::getc(stream);
    while (is_c_space(c)) c = std::getc(stream);
    const bool is_negative = c == '-';
    if (c == '-' || c == '+') c = std::getc(stream);
    if (c < '0' || c > '9') return false;
    constexpr int64_t MAGNITUDE_LIMIT = int64_t{1} << 31;
    int64_t magnitude = 0;
    for (; c >= '0' && c <= '9'; c = std::getc(stream)) {
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > MAGNITUDE_LIMIT) return false;
    }
    if (!is_negative && magnitude == MAGNITUDE_LIMIT) return false;
    *atom = static_cast<int32_t>(is_negative ? -magnitude : magnitude);
    return true;
}

}  // namespace

void handle_atom_post(const char* request_body) {
    if (request_body == nullptr) return send_bad_request(BODY_MISSING_BODY);
    const heap_text string = json_string_field(request_body, KEY_STRING);
    int32_t atom = 0;
    if (json_int_field(request_body, KEY_ATOM, &atom) != int_field::found || !string || atom < 0) {
        return send_bad_request(BODY_MISSING_STRING_OR_ATOM);
    }

    // A directory of the tree may have vanished since the request began.
    ensure_store_dirs();
    char store_name[NAME_BUFFER_SIZE];
    escape_store_name(string.get(), store_name);

    char atom_text[ATOM_TEXT_SIZE];
    char path[PATH_BUFFER_SIZE];
    format_into(atom_text, sizeof atom_text, "%d\n", atom);
    if (!store_path(path, PATH_ATOM_FILE, data_dir, store_name) ||
        write_store_file(path, {atom_text}, write_mode::replace) != write_result::written) {
        return send_server_error(BODY_CANNOT_WRITE_ATOM);
    }
    if (!store_path(path, PATH_ATOM_VALUE_FILE, data_dir, atom) ||
        write_store_file(path, {string.get(), "\n"}, write_mode::replace) !=
            write_result::written) {
        return send_server_error(BODY_CANNOT_WRITE_ATOM_VALUE);
    }
    send_json(HTTP_OK, BODY_ATOM_REGISTERED);
}

void handle_atom_by_string(const char* segment) {
    char decoded[NAME_BUFFER_SIZE];
    char store_name[NAME_BUFFER_SIZE];
    percent_decode(segment, decoded);
    escape_store_name(decoded, store_name);

    char path[PATH_BUFFER_SIZE];
    file_owner file(store_path(path, PATH_ATOM_FILE, data_dir, store_name) ? std::fopen(path, "r")
                                                                           : nullptr);
    if (!file) return send_json(HTTP_NOT_FOUND, BODY_ATOM_NOT_FOUND);
    int32_t atom = 0;
    const bool has_atom = read_atom(file.get(), &atom);
    file.close();
    if (!has_atom) return send_server_error(BODY_CORRUPT_ATOM);

    char body[ATOM_BODY_SIZE];
    format_into(body, sizeof body, TEMPLATE_ATOM, atom);
    send_json(HTTP_OK, body);
}

void handle_atom_by_value(const char* segment) {
    int32_t atom = 0;
    char path[PATH_BUFFER_SIZE];
    const bool has_path =
        read_decimal(segment, &atom) && store_path(path, PATH_ATOM_VALUE_FILE, data_dir, atom);
    file_owner file(has_path ? std::fopen(path, "r") : nullptr);
    if (!file) return send_json(HTTP_NOT_FOUND, BODY_ATOM_VALUE_NOT_FOUND);

    char line[LINE_BUFFER_SIZE];
    const bool has_line = std::fgets(line, sizeof line, file.get()) != nullptr;
    file.close();
    if (!has_line) return send_server_error(BODY_CORRUPT_ATOM_VALUE);
    const std::size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') line[length - 1] = '\0';

    char body[STRING_BODY_SIZE];
    format_into(body, sizeof body, TEMPLATE_STRING, line);
    send_json(HTTP_OK, body);
}
