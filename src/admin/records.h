// records.h: the store as JSON Lines, the form in which export writes it and import reads it.
//
// One record per line, one per file of the store:
//   {"kind":"format","name":"<ID text>","hex":"<content>"}
//   {"kind":"atom","name":"<store name>","hex":"<content>"}
//   {"kind":"atom_value","name":"<atom>","hex":"<content>"}
// "hex" holds the file's bytes, two hex digits each (export writes lowercase, import takes
// either case). Members may come in any order with JSON white space between tokens; every
// member must be there once and no other may be. Names are checked by the store's own name
// rules, so no name holds a byte that JSON would have to escape, and no escape is accepted.
#ifndef VELTO_ADMIN_RECORDS_H
#define VELTO_ADMIN_RECORDS_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/owners.h"
#include "store/layout.h"

// Writes one record line; false when the stream failed.
bool write_record(std::FILE* out, const file_kind_rules& kind, const char* name,
                  const unsigned char* bytes, std::size_t size);

// One parsed and checked record. `name` points into the line that was parsed; the content is
// decoded into the buffer given to the parse.
struct store_record {
    const file_kind_rules* kind = nullptr;
    const char* name = nullptr;
};

// Parses `line` (`length` bytes, a line feed at its end or not), changing it in place, decodes
// its content into `content` and checks the record by the rules the store's files follow. On
// failure returns false and leaves a description for the operator in `why`.
bool parse_record(char* line, std::size_t length, store_record* record, byte_buffer& content,
                  char (&why)[DETAIL_SIZE]);

// Reads records line by line, each parsed and checked. Every read line is also copied to
// `spool` when one is given, so that input that cannot be read twice can be.
class record_reader {
  public:
    record_reader(std::FILE* in, std::FILE* spool = nullptr) : in_(in), spool_(spool) {}
    record_reader(const record_reader&) = delete;
    record_reader& operator=(const record_reader&) = delete;
    ~record_reader() { std::free(line_); }

    enum class outcome { record, end, bad_record, read_failed, spool_failed };
    // The next record into *record and content; on bad_record, `why` says what is wrong. The
    // record's name lives until the next call.
    outcome next(store_record* record, byte_buffer& content, char (&why)[DETAIL_SIZE]);
    uint64_t line_number() const { return line_number_; }

  private:
    std::FILE* in_;
    std::FILE* spool_;
    char* line_ = nullptr;  // getline's block, grown with realloc
    std::size_t capacity_ = 0;
    uint64_t line_number_ = 0;
};

#endif  // VELTO_ADMIN_RECORDS_H
