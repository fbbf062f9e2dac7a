// formats.cpp: format registration and retrieval.
#include "formats/formats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "cgi/codecs.h"
#include "cgi/messages.h"
#include "cgi/owners.h"
#include "cgi/response.h"
#include "formats/library.h"
#include "qsr.h"
#include "store/store.h"
#include "store/write_file.h"

namespace {

constexpr std::size_t MIN_FORMAT_REP_TEXT = 2 * FORMAT_HEADER_SIZE;
constexpr std::size_t SERVER_ID_BODY_SIZE = 512;
// The hex of a file this size would not fit the 32-bit counts that clients and the answer's
// framing are built for.
constexpr off_t MAX_FORMAT_FILE_SIZE = off_t{1} << 31;

// An existing file under the final name, of whatever kind and content, counts as stored.
bool is_present(const char* path) {
    fd_owner fd(::open(path, O_RDONLY | O_CLOEXEC));
    return static_cast<bool>(fd);
}

enum class store_outcome { stored, failed };

store_outcome store_format(const unsigned char* representation, std::size_t size,
                           const char (&id_text)[ID_TEXT_BUFFER_SIZE]) {
    char path[PATH_BUFFER_SIZE];
    if (!store_path(path, PATH_FORMAT_FILE, data_dir, id_text)) return store_outcome::failed;
    if (is_present(path)) return store_outcome::stored;
    const std::string_view bytes(reinterpret_cast<const char*>(representation), size);
    return write_store_file(path, {bytes}, write_mode::create_only) == write_result::failed
               ? store_outcome::failed
               : store_outcome::stored;
}

bool reads_fully(int fd, unsigned char* out, std::size_t size) {
    while (size > 0) {
        const ssize_t count = ::read(fd, out, size);
        if (count <= 0) return false;
        out += count;
        size -= static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace

void handle_format_post(const char* request_body) {
    if (request_body == nullptr) return send_bad_request(BODY_MISSING_BODY);
    heap_text text = json_string_field(request_body, KEY_FORMAT_REP);
    if (!text) return send_bad_request(BODY_MISSING_FORMAT_REP);
    const std::size_t text_length = std::strlen(text.get());
    if (text_length < MIN_FORMAT_REP_TEXT) return send_bad_request(BODY_FORMAT_REP_TOO_SHORT);

    const std::size_t size = text_length / 2;
    const heap_ptr<unsigned char> representation(static_cast<unsigned char*>(qsr_malloc(size)));
    if (!representation) return send_server_error(BODY_CANNOT_WRITE_FORMAT);
    if (hex_decode(text.get(), representation.get()) < 0) return send_bad_request(BODY_INVALID_HEX);
    text.reset();  // the body can be 10 MiB; its hex copy is not kept beside the bytes
    if (declared_length(representation.get()) > size) return send_bad_request(BODY_LENGTH_MISMATCH);

    char id_text[ID_TEXT_BUFFER_SIZE];
    if (!server_id_text(representation.get(), id_text)) {
        return send_server_error(BODY_CANNOT_WRITE_FORMAT);
    }
    if (store_format(representation.get(), size, id_text) == store_outcome::failed) {
        return send_server_error(BODY_CANNOT_WRITE_FORMAT);
    }
    char body[SERVER_ID_BODY_SIZE];
    if (!format_into(body, sizeof body, TEMPLATE_SERVER_ID, id_text)) {
        return send_server_error(BODY_CANNOT_WRITE_FORMAT);
    }
    send_json(HTTP_OK, body);
}

void handle_format_get(const char* id) {
    if (*id == '\0') return send_bad_request(BODY_MISSING_FORMAT_ID);
    // Stored names are hex digits only; anything that could step out of formats/ or name the
    // directory itself is no format.
    if (*id == '.' || std::strchr(id, '/') != nullptr) {
        return send_json(HTTP_NOT_FOUND, BODY_FORMAT_NOT_FOUND);
    }
    char path[PATH_BUFFER_SIZE];
    if (!store_path(path, PATH_FORMAT_FILE, data_dir, id)) {
        return send_json(HTTP_NOT_FOUND, BODY_FORMAT_NOT_FOUND);
    }
    fd_owner fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return send_json(HTTP_NOT_FOUND, BODY_FORMAT_NOT_FOUND);

    struct stat status;
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0 ||
        status.st_size >= MAX_FORMAT_FILE_SIZE) {
        return send_server_error(BODY_READ_ERROR);
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    const heap_ptr<unsigned char> bytes(static_cast<unsigned char*>(qsr_malloc(size)));
    if (!bytes || !reads_fully(fd.get(), bytes.get(), size))
        return send_server_error(BODY_READ_ERROR);
    fd.close();

    // The answer is built whole before anything is written, so a failure above can still be
    // answered with its own status.
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
    send_json(HTTP_OK, answer.get());
}
