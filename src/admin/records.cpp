// records.cpp: writing and reading the JSON Lines form of the store.
#include "admin/records.h"

#include <cstring>

#include "admin/codes.h"
#include "base/text.h"

namespace {

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

bool write_record(std::FILE* out, const file_kind_rules& kind, const char* name,
                  const unsigned char* bytes, std::size_t size) {
    std::fprintf(out, "{\"kind\":\"%s\",\"name\":\"%s\",\"hex\":\"", kind.kind_name, name);
    char hex[2 * HEX_CHUNK_SIZE + 1];
    for (std::size_t done = 0; done < size; done += HEX_CHUNK_SIZE) {
        const std::size_t count = size - done < HEX_CHUNK_SIZE ? size - done : HEX_CHUNK_SIZE;
        hex_encode(bytes + done, count, hex);
        std::fwrite(hex, 1, 2 * count, out);
    }
    std::fputs("\"}\n", out);
    return std::ferror(out) == 0;
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

    record->kind = nullptr;
    for (const file_kind_rules& candidate : FILE_KINDS) {
        if (span_is(kind, candidate.kind_name)) record->kind = &candidate;
    }
    if (record->kind == nullptr) return fail(why, "kind is none of format, atom and atom_value");

    // Each string ends where its closing quote was; the quote is no longer needed.
    name.start[name.length] = '\0';
    hex.start[hex.length] = '\0';
    record->name = name.start;
    if (!record->kind->is_name(name.start)) {
        format_into(why, sizeof why, "name is not %s", record->kind->name_rule);
        return false;
    }

    if (hex.length / 2 > record->kind->size_limit)
        return fail(why, "hex holds more than a file of its kind can");
    if (!content.reserve(hex.length / 2)) return fail(why, "not enough memory for the content");
    const long size = hex_decode(hex.start, content.data());
    if (size < 0)
        return fail(why, "hex holds an odd number of digits or a byte that is no hex digit");
    content.set_size(static_cast<std::size_t>(size));

    const content_problem found =
        record->kind->check_content(record->name, content.data(), content.size());
    if (found.fault != content_fault::none) {
        format_into(why, sizeof why, "content %s: %s", rule_of(finding_of(found.fault)).code,
                    found.detail);
        return false;
    }
    return true;
}

record_reader::outcome record_reader::next(store_record* record, byte_buffer& content,
                                           char (&why)[DETAIL_SIZE]) {
    const ssize_t length = ::getline(&line_, &capacity_, in_);
    if (length < 0) return std::ferror(in_) ? outcome::read_failed : outcome::end;
    line_number_++;
    const auto size = static_cast<std::size_t>(length);
    if (spool_ != nullptr && std::fwrite(line_, 1, size, spool_) != size) {
        return outcome::spool_failed;
    }
    return parse_record(line_, size, record, content, why) ? outcome::record : outcome::bad_record;
}
