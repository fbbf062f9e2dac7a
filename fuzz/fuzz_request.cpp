// Fuzzes the whole request: method, path, CONTENT_LENGTH and body in, one response out, against a
// store of its own that lives for the whole run. Every input must give exactly one well-framed
// response whose status and body belong to the route that the request takes, and leave nothing
// outside the store and no temporary file inside it. A registration answered 200 must have put
// its files in place, and no lookup may find a file corrupt: the store only ever holds what the
// program wrote itself.
//
// Input: one byte of flags, then the method, the path and CONTENT_LENGTH, each ended by a line
// feed, then the body.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "base/text.h"
#include "cgi/codecs.h"
#include "cgi/intake.h"
#include "cgi/messages.h"
#include "cgi/response.h"
#include "fuzz_check.h"
#include "qsr.h"
#include "store/layout.h"
#include "store/store.h"

namespace fs = std::filesystem;

namespace {

enum flag : uint8_t {
    NO_METHOD = 1,
    NO_PATH = 2,
    NO_CONTENT_LENGTH = 4,
    EXACT_CONTENT_LENGTH = 8,  // CONTENT_LENGTH is the body's length, not the third field
    ONE_BYTE_SHORT = 16,       // CONTENT_LENGTH is one more than the body holds
};

constexpr int RUNS_PER_STORE = 2000;

std::string store_parent;
std::string store_root;
int runs_in_store = 0;

void set_up_store() {
    if (!store_parent.empty()) return;
    // A memory file system where there is one: every write is flushed to disk.
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/velto-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    store_parent = pattern;
    store_root = store_parent + "/data";
    data_dir = store_root.c_str();
    std::atexit([] {
        std::error_code ignored;
        fs::remove_all(store_parent, ignored);
    });
}

std::optional<std::string> read_whole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Nothing beside the store's root, and no temporary in any of its directories.
void check_store_tree() {
    for (const auto& entry : fs::directory_iterator(store_parent)) {
        FUZZ_CHECK(entry.path().filename() == "data");
    }
    for (const char* dir : {"/formats", "/atoms/s", "/atoms/v"}) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(store_root + dir, error)) {
            FUZZ_CHECK(entry.path().filename().string().rfind(".velto~", 0) != 0);
        }
    }
}

enum class route { not_cgi, health, format_post, format_get, atom_post, by_string, by_value, none };

route route_of(const char* method, const char* path) {
    if (method == nullptr || path == nullptr) return route::not_cgi;
    const std::string m(method), p(path);
    auto begins = [&](const char* prefix) { return p.rfind(prefix, 0) == 0; };
    if (p == "/v1/health") return route::health;
    if (p == "/v1/formats" && m == "POST") return route::format_post;
    if (begins("/v1/formats/") && m == "GET") return route::format_get;
    if (p == "/v1/atoms" && m == "POST") return route::atom_post;
    if (begins("/v1/atoms/by-string/") && m == "GET") return route::by_string;
    if (begins("/v1/atoms/by-value/") && m == "GET") return route::by_value;
    return route::none;
}

std::string error_body(const char* message) { return std::string("{\"error\":\"") + message + "\"}"; }

bool is_one_of(const std::string& body, std::initializer_list<const char*> messages) {
    for (const char* message : messages) {
        if (body == error_body(message)) return true;
    }
    return false;
}

// Whether main would read a body: CONTENT_LENGTH read as atoi reads it, never wrapped, from 1 to
// MAX_BODY_LENGTH, and at least that many bytes on standard input.
bool expects_body(const char* method, const char* content_length, std::size_t available) {
    if (method == nullptr || std::strcmp(method, "POST") != 0 || content_length == nullptr) return false;
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(content_length, &end, 10);
    return errno == 0 && n >= 1 && n <= MAX_BODY_LENGTH && static_cast<std::size_t>(n) <= available;
}

std::string id_of(const std::string& representation) {
    server_id_record record{0, nullptr};
    generate_format3_server_ID(&record, reinterpret_cast<const unsigned char*>(representation.data()));
    std::string id(2 * static_cast<std::size_t>(record.length), '\0');
    hex_encode(record.value, static_cast<std::size_t>(record.length), id.data());
    std::free(record.value);
    return id;
}

// The text between `open` and `close` when `body` is framed by them, else null.
std::optional<std::string> inside(const std::string& body, const std::string& open,
                                  const std::string& close) {
    if (body.size() < open.size() + close.size() || body.compare(0, open.size(), open) != 0 ||
        body.compare(body.size() - close.size(), close.size(), close) != 0) {
        return std::nullopt;
    }
    return body.substr(open.size(), body.size() - open.size() - close.size());
}

bool is_lower_hex_text(const std::string& text) {
    if (text.size() % 2 != 0) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// Decimal digits, optionally after a minus sign, at most `max_digits` of them.
bool is_decimal(const std::string& text, std::size_t max_digits, bool may_be_negative) {
    const std::size_t start = may_be_negative && !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == start || text.size() - start > max_digits) return false;
    for (std::size_t i = start; i < text.size(); i++) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

bool is_health(const std::string& body) {
    const auto counts = inside(body, "{\"status\":\"ok\",\"format_count\":", "}");
    if (!counts) return false;
    const std::size_t comma = counts->find(",\"atom_count\":");
    return comma != std::string::npos && is_decimal(counts->substr(0, comma), 10, false) &&
           is_decimal(counts->substr(comma + 14), 10, false);
}

void check_answer(route r, const std::string& status, const std::string& body,
                  bool has_body, const char* request_body, const char* path) {
    if (r == route::format_post || r == route::atom_post) {
        FUZZ_CHECK(has_body == (body != error_body("missing request body")));
    }
    switch (r) {
    case route::not_cgi:
        FUZZ_CHECK(status == "400" && body == error_body("not a CGI request"));
        break;
    case route::health:
        FUZZ_CHECK(status == "200" && is_health(body));
        break;
    case route::format_post:
        if (status == "200") {
            const auto id_text = inside(body, "{\"server_id\":\"", "\"}");
            FUZZ_CHECK(id_text && is_lower_hex_text(*id_text) && !id_text->empty() &&
                       id_text->size() <= 2 * 247);
            // Stored under the ID of its own content.
            const std::string id = *id_text;
            const auto content = read_whole(store_root + "/formats/" + id);
            FUZZ_CHECK(content && content->size() >= 8 && id_of(*content) == id);
        } else if (status == "400") {
            FUZZ_CHECK(is_one_of(body, {"missing request body", "missing format_rep",
                                        "format_rep too short", "invalid hex in format_rep",
                                        "format_rep_length mismatch"}));
        } else {
            FUZZ_CHECK(status == "500" && body == error_body("cannot write format file"));
        }
        break;
    case route::format_get:
        if (status == "200") {
            const auto hex = inside(body, "{\"format_rep\":\"", "\"}");
            FUZZ_CHECK(hex && is_lower_hex_text(*hex));
        } else if (status == "400") {
            FUZZ_CHECK(body == error_body("missing format id"));
        } else {
            // A store that only the program wrote holds no format file that reads short.
            FUZZ_CHECK(status == "404" && body == error_body("format not found"));
        }
        break;
    case route::atom_post:
        if (status == "200") {
            FUZZ_CHECK(body == "{\"ok\":true}");
            // Both directions are in place.
            const heap_text string = json_string_field(request_body, "string");
            int32_t atom = -1;
            FUZZ_CHECK(string && json_int_field(request_body, "atom", &atom) == int_field::found);
            char name[NAME_BUFFER_SIZE];
            escape_store_name(string.get(), name);
            FUZZ_CHECK(read_whole(store_root + "/atoms/s/" + name) == std::to_string(atom) + "\n");
            FUZZ_CHECK(read_whole(store_root + "/atoms/v/" + std::to_string(atom)) ==
                       std::string(string.get()) + "\n");
        } else if (status == "400") {
            FUZZ_CHECK(is_one_of(body, {"missing request body", "missing string or atom"}));
        } else {
            FUZZ_CHECK(status == "500" &&
                       is_one_of(body, {"cannot write atom file", "cannot write atom value file"}));
        }
        break;
    case route::by_string:
        if (status == "200") {
            const auto atom = inside(body, "{\"atom\":", "}");
            FUZZ_CHECK(atom && is_decimal(*atom, 10, true));
        } else if (status == "404") {
            FUZZ_CHECK(body == error_body("atom not found"));
        } else {
            // Only a name that is a directory, the empty one, "." or "..", reads as corrupt.
            FUZZ_CHECK(status == "500" && body == error_body("corrupt atom file"));
            char decoded[NAME_BUFFER_SIZE];
            char name[NAME_BUFFER_SIZE];
            percent_decode(path + 20, decoded);
            escape_store_name(decoded, name);
            FUZZ_CHECK(std::strcmp(name, "") == 0 || std::strcmp(name, ".") == 0 ||
                       std::strcmp(name, "..") == 0);
        }
        break;
    case route::by_value:
        if (status == "200") {
            const auto string = inside(body, "{\"string\":\"", "\"}");
            FUZZ_CHECK(string && string->size() <= 511 && string->find('\n') == std::string::npos);
        } else {
            FUZZ_CHECK(status == "404" && body == error_body("atom value not found"));
        }
        break;
    case route::none:
        FUZZ_CHECK(status == "404" && body == error_body("unknown endpoint"));
        break;
    }
}

// Splits off the next field, ended by a line feed; a field runs to the end without one.
std::string next_field(const uint8_t*& at, const uint8_t* end) {
    const uint8_t* line_end = static_cast<const uint8_t*>(std::memchr(at, '\n', end - at));
    const uint8_t* stop = line_end ? line_end : end;
    std::string field(reinterpret_cast<const char*>(at), stop - at);
    at = line_end ? line_end + 1 : end;
    // Environment values are C texts.
    field.resize(std::strlen(field.c_str()));
    return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    set_up_store();
    if (++runs_in_store > RUNS_PER_STORE) {
        std::error_code ignored;
        fs::remove_all(store_root, ignored);
        runs_in_store = 1;
    }
    const uint8_t flags = data[0];
    const uint8_t* at = data + 1;
    const uint8_t* end = data + size;
    const std::string method_text = next_field(at, end);
    const std::string path_text = next_field(at, end);
    std::string length_text = next_field(at, end);
    const std::string body(reinterpret_cast<const char*>(at), end - at);
    if (flags & EXACT_CONTENT_LENGTH) length_text = std::to_string(body.size());
    if (flags & ONE_BYTE_SHORT) length_text = std::to_string(body.size() + 1);

    const char* method = flags & NO_METHOD ? nullptr : method_text.c_str();
    const char* path = flags & NO_PATH ? nullptr : path_text.c_str();
    const char* content_length = flags & NO_CONTENT_LENGTH ? nullptr : length_text.c_str();

    char* out_bytes = nullptr;
    std::size_t out_size = 0;
    std::FILE* out = ::open_memstream(&out_bytes, &out_size);
    std::FILE* in = body.empty() ? std::fopen("/dev/null", "r")
                                 : ::fmemopen(const_cast<char*>(body.data()), body.size(), "r");
    FUZZ_CHECK(out != nullptr && in != nullptr);
    std::FILE* const saved_out = stdout;
    std::FILE* const saved_in = stdin;
    stdout = out;
    stdin = in;

    serve_request(method, path, content_length);

    stdout = saved_out;
    stdin = saved_in;
    std::fclose(in);
    FUZZ_CHECK(std::fclose(out) == 0);
    const std::string response(out_bytes, out_size);
    std::free(out_bytes);

    // One header block of the four, then a body that is one JSON object without a NUL.
    const std::size_t header_end = response.find("\r\n\r\n");
    FUZZ_CHECK(header_end != std::string::npos);
    const std::string header = response.substr(0, header_end + 4);
    const std::string status = response.substr(8, 3);
    const char* reason = status == "200"   ? "OK"
                         : status == "400" ? "Bad Request"
                         : status == "404" ? "Not Found"
                         : status == "500" ? "Internal Server Error"
                                           : nullptr;
    FUZZ_CHECK(reason != nullptr);
    FUZZ_CHECK(header == "Status: " + status + " " + reason +
                             "\r\nContent-Type: application/json\r\nAccess-Control-Allow-Origin: *\r\n\r\n");
    const std::string answer = response.substr(header_end + 4);
    FUZZ_CHECK(answer.size() >= 2 && answer.front() == '{' && answer.back() == '}');
    FUZZ_CHECK(answer.find('\0') == std::string::npos);
    check_answer(route_of(method, path), status, answer,
                 expects_body(method, content_length, body.size()), body.c_str(), path);
    check_store_tree();
    return 0;
}
