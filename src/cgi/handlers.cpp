// handlers.cpp: each route's checks and answers.
#include "cgi/handlers.h"

#include <cstdint>
#include <cstring>

#include "atoms/atoms.h"
#include "base/owners.h"
#include "base/text.h"
#include "cgi/codecs.h"
#include "cgi/messages.h"
#include "cgi/response.h"
#include "formats/formats.h"
#include "qsr.h"
#include "store/files.h"

namespace {

constexpr std::size_t HEALTH_BODY_SIZE = 256;
constexpr std::size_t MIN_FORMAT_REP_TEXT = 2 * FORMAT_HEADER_SIZE;
constexpr std::size_t SERVER_ID_BODY_SIZE = 512;
constexpr std::size_t ATOM_BODY_SIZE = 256;
constexpr std::size_t STRING_BODY_SIZE = 1024;

}  // namespace

void handle_health() {
    const int32_t format_count = count_store_entries(file_kind::format);
    const int32_t atom_count = count_store_entries(file_kind::atom);
    char body[HEALTH_BODY_SIZE];
    format_into(body, sizeof body, TEMPLATE_HEALTH, format_count, atom_count);
    send_json(HTTP_OK, body);
}

void handle_format_post(const char* request_body) {
    if (request_body == nullptr) return send_bad_request(BODY_MISSING_BODY);
    heap_text text = json_string_field(request_body, KEY_FORMAT_REP);
    if (!text) return send_bad_request(BODY_MISSING_FORMAT_REP);
    if (std::strlen(text.get()) < MIN_FORMAT_REP_TEXT) {
        return send_bad_request(BODY_FORMAT_REP_TOO_SHORT);
    }
    char id_text[ID_TEXT_BUFFER_SIZE];
    switch (register_format(std::move(text), id_text)) {
        case registration::invalid_hex:
            return send_bad_request(BODY_INVALID_HEX);
        case registration::length_mismatch:
            return send_bad_request(BODY_LENGTH_MISMATCH);
        case registration::failed:
            return send_server_error(BODY_CANNOT_WRITE_FORMAT);
        case registration::stored:
            break;
    }
    char body[SERVER_ID_BODY_SIZE];
    if (!format_into(body, sizeof body, TEMPLATE_SERVER_ID, id_text)) {
        return send_server_error(BODY_CANNOT_WRITE_FORMAT);
    }
    send_json(HTTP_OK, body);
}

void handle_format_get(const char* id) {
    if (*id == '\0') return send_bad_request(BODY_MISSING_FORMAT_ID);
    heap_ptr<unsigned char> bytes;
    std::size_t size = 0;
    switch (fetch_format(id, &bytes, &size)) {
        case retrieval::not_found:
            return send_json(HTTP_NOT_FOUND, BODY_FORMAT_NOT_FOUND);
        case retrieval::read_error:
            return send_server_error(BODY_READ_ERROR);
        case retrieval::found:
            break;
    }
    // The answer is built whole before anything is written, so a failure can still be answered
    // with its own status; the hex goes straight into the block, never through a formatter.
    constexpr std::size_t open_length = sizeof FORMAT_REP_OPEN - 1;
    constexpr std::size_t close_length = sizeof FORMAT_REP_CLOSE - 1;
    const heap_text answer(
        static_cast<char*>(qsr_malloc(open_length + 2 * size + close_length + 1)));
    if (!answer) return send_server_error(BODY_READ_ERROR);
    char* at = answer.get();
    std::memcpy(at, FORMAT_REP_OPEN, open_length);
    at += open_length;
    hex_encode(bytes.get(), size, at);
    at += 2 * size;
    std::memcpy(at, FORMAT_REP_CLOSE, close_length + 1);
    bytes.reset();
    send_json(HTTP_OK, answer.get());
}

void handle_atom_post(const char* request_body) {
    if (request_body == nullptr) return send_bad_request(BODY_MISSING_BODY);
    const heap_text string = json_string_field(request_body, KEY_STRING);
    int32_t atom = 0;
    if (json_int_field(request_body, KEY_ATOM, &atom) != int_field::found || !string || atom < 0) {
        return send_bad_request(BODY_MISSING_STRING_OR_ATOM);
    }
    switch (register_atom(string.get(), atom)) {
        case pair_outcome::atom_file_failed:
            return send_server_error(BODY_CANNOT_WRITE_ATOM);
        case pair_outcome::atom_value_file_failed:
            return send_server_error(BODY_CANNOT_WRITE_ATOM_VALUE);
        case pair_outcome::stored:
            break;
    }
    send_json(HTTP_OK, BODY_ATOM_REGISTERED);
}

void handle_atom_by_string(const char* segment) {
    char decoded[NAME_BUFFER_SIZE];
    percent_decode(segment, decoded);
    int32_t atom = 0;
    switch (find_atom(decoded, &atom)) {
        case lookup::not_found:
            return send_json(HTTP_NOT_FOUND, BODY_ATOM_NOT_FOUND);
        case lookup::corrupt:
            return send_server_error(BODY_CORRUPT_ATOM);
        case lookup::found:
            break;
    }
    char body[ATOM_BODY_SIZE];
    format_into(body, sizeof body, TEMPLATE_ATOM, atom);
    send_json(HTTP_OK, body);
}

void handle_atom_by_value(const char* segment) {
    int32_t atom = 0;
    char line[ATOM_LINE_BUFFER_SIZE];
    const lookup found =
        read_decimal(segment, &atom) ? find_atom_string(atom, line) : lookup::not_found;
    switch (found) {
        case lookup::not_found:
            return send_json(HTTP_NOT_FOUND, BODY_ATOM_VALUE_NOT_FOUND);
        case lookup::corrupt:
            return send_server_error(BODY_CORRUPT_ATOM_VALUE);
        case lookup::found:
            break;
    }
    char body[STRING_BODY_SIZE];
    format_into(body, sizeof body, TEMPLATE_STRING, line);
    send_json(HTTP_OK, body);
}
