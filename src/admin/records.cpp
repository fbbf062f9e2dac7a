// records.cpp: writing and reading the JSON Lines form of the store.
#include "admin/records.h"

#include <cstring>

#include "cgi/codecs.h"

namespace {

constexpr const char* KIND_NAMES[] = {"format", "atom", "atom_value"};
constexpr std::size_t SIZE_LIMITS[] = {MAX_FORMAT_FILE_SIZE - 1, MAX_ATOM_FILE_SIZE,
                                       MAX_ATOM_VALUE_FILE_SIZE};
constexpr const char* NAME_RULES[] = {
    "is not the lowercase hex of a server ID",
    "is not a store name as registration makes one",
    "is not the decimal of an atom 0 to 2147483647",
};
// Hex is written in pieces of this many bytes, so a format file of megabytes needs no copy.
constexpr std::size_t HEX_CHUNK_SIZE = 4096;

bool is_json_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

struct text_span {
    char* start = nullptr;
    std::size_t length = 0;
};

class cursor {
  public:
    cursor(char* at, char* end) : at_(at), end_(end) {}
    void skip_space() {
        while (at_ < end_ && is_json_space(*at_)) at_++;
    }
    bool take(char c) {
        skip_space();
        if (at_ == end_ || *at_ != c) return false;
        at_++;
        return true;
    }
    bool peek(char c) {
        skip_space();
        return at_ < end_ && *at_ == c;
    }
    bool at_end() {
        skip_space();
        return at_ == end_;
    }
    // A string without escapes or control bytes; null when there is one, else what is wrong.
    const char* take_string(text_span* out) {
        if (!take('"')) return "a string was expected";
        out->start = at_;
        while (at_ < end_ && *at_ != '"') {
            const auto byte = static_cast<unsigned char>(*at_);
            if (byte == '\\') return "escapes are not used in records";
            if (byte < 0x20) return "a control byte in a string";
            at_++;
        }
        if (at_ == end_) return "a string is not closed";
        out->length = static_cast<std::size_t>(at_ - out->start);
        at_++;
        return nullptr;
    }

  private:
    char* at_;
    char* end_;
};

bool span_is(const text_span& span, const char* text) {
    return span.length == std::strlen(text) && std::memcmp(span.start, text, span.length) == 0;
}

bool fail(char (&why)[DETAIL_SIZE], const char* text) {
    format_into(why, sizeof why, "%s", text);
    return false;
}

}  // namespace

record_kind kind_of_directory(std::size_t directory_index) {
    return static_cast<record_kind>(directory_index);
}

std::size_t record_size_limit(record_kind kind) {
    return SIZE_LIMITS[static_cast<int>(kind)];
}

bool is_record_name(record_kind kind, const char* name) {
    int32_t atom = 0;
    switch (kind) {
        case record_kind::format:
            return is_id_text_name(name);
        case record_kind::atom:
            return is_store_name(name);
        case record_kind::atom_value:
            return parse_atom_value_name(name, &atom);
    }
    return false;
}

bool write_record(std::FILE* out, record_kind kind, const char* name, const unsigned char* bytes,
                  std::size_t size) {
    std::fprintf(out, "{\"kind\":\"%s\",\"name\":\"%s\",\"hex\":\"",
                 KIND_NAMES[static_cast<int>(kind)], name);
    char hex[2 * HEX_CHUNK_SIZE + 1];
    for (std::size_t done = 0; done < size; done += HEX_CHUNK_SIZE) {
        const std::size_t count = size - done < HEX_CHUNK_SIZE ? size - done : HEX_CHUNK_SIZE;
        hex_encode(bytes + done, count, hex);
        std::fwrite(hex, 1, 2 * count, out);
    }
    std::fputs("\"}\n", out);
    return std::ferror(out) == 0;
}

rule_problem check_record(record_kind kind, const char* name, const unsigned char* bytes,
                          std::size_t size) {
    int32_t atom = 0;
    std::size_t line_count = 0;
    switch (kind) {
        case record_kind::format:
            return check_format_content(name, bytes, size);
        case record_kind::atom:
            return check_atom_content(bytes, size, &atom);
        case record_kind::atom_value:
            return check_atom_value_content(bytes, size, &line_count);
    }
    return {};
}

bool parse_record(char* line, std::size_t length, store_record* record, byte_buffer& content,
                  char (&why)[DETAIL_SIZE]) {
    // The line feed ends the record, so a line cut inside a string reads as an open string.
    if (length > 0 && line[length - 1] == '\n') length--;
    cursor at(line, line + length);
    text_span kind, name, hex;
    bool has_kind = false, has_name = false, has_hex = false;
    const char* problem = nullptr;
    if (!at.take('{')) return fail(why, "a record is a JSON object on one line");
    do {
        text_span key, value;
        if ((problem = at.take_string(&key)) != nullptr) return fail(why, problem);
        if (!at.take(':')) return fail(why, "a ':' was expected after a member's name");
        if ((problem = at.take_string(&value)) != nullptr) return fail(why, problem);
        bool* seen = span_is(key, "kind")   ? &has_kind
                     : span_is(key, "name") ? &has_name
                     : span_is(key, "hex")  ? &has_hex
                                            : nullptr;
        if (seen == nullptr) return fail(why, "a member other than kind, name and hex");
        if (*seen) return fail(why, "a member given twice");
        *seen = true;
        (seen == &has_kind ? kind : seen == &has_name ? name : hex) = value;
    } while (at.take(','));
    if (!at.take('}') || !at.at_end()) return fail(why, "the record does not end after its object");
    if (!has_kind || !has_name || !has_hex)
        return fail(why, "kind, name and hex must all be given");

    int index = -1;
    for (int i = 0; i < 3; i++) {
        if (span_is(kind, KIND_NAMES[i])) index = i;
    }
    if (index < 0) return fail(why, "kind is none of format, atom and atom_value");
    record->kind = static_cast<record_kind>(index);

    // Each string ends where its closing quote was; the quote is no longer needed.
    name.start[name.length] = '\0';
    hex.start[hex.length] = '\0';
    record->name = name.start;
    if (!is_record_name(record->kind, name.start) ||
        (record->kind == record_kind::atom_value &&
         !parse_atom_value_name(name.start, &record->atom))) {
        format_into(why, sizeof why, "name %s", NAME_RULES[index]);
        return false;
    }

    if (hex.length / 2 > SIZE_LIMITS[index])
        return fail(why, "hex holds more than a file of its kind can");
    if (!content.reserve(hex.length / 2)) return fail(why, "not enough memory for the content");
    const long size = hex_decode(hex.start, content.data());
    if (size < 0)
        return fail(why, "hex holds an odd number of digits or a byte that is no hex digit");
    content.set_size(static_cast<std::size_t>(size));

    const rule_problem found =
        check_record(record->kind, record->name, content.data(), content.size());
    if (found.code != nullptr) {
        format_into(why, sizeof why, "content %s: %s", found.code, found.detail);
        return false;
    }
    return true;
}

bool record_path(const store_record& record, char (&out)[PATH_BUFFER_SIZE]) {
    switch (record.kind) {
        case record_kind::format:
            return store_path(out, PATH_FORMAT_FILE, data_dir, record.name);
        case record_kind::atom:
            return store_path(out, PATH_ATOM_FILE, data_dir, record.name);
        case record_kind::atom_value:
            return store_path(out, PATH_ATOM_VALUE_FILE, data_dir, record.atom);
    }
    return false;
}
