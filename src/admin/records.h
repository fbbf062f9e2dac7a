// records.h: the store as JSON Lines, the form in which export writes it and import reads it.
//
// One record per line, one per file of the store:
//   {"kind":"format","name":"<ID text>","hex":"<content>"}
//   {"kind":"atom","name":"<store name>","hex":"<content>"}
//   {"kind":"atom_value","name":"<atom>","hex":"<content>"}
// "hex" holds the file's bytes, two hex digits each (export writes lowercase, import takes
// either case). Members may come in any order with JSON white space between tokens; every
// member must be there once and no other may be. Names are checked by the same rules that
// check applies (rules.h), so no name holds a byte that JSON would have to escape, and no
// escape is accepted.
#ifndef VELTO_ADMIN_RECORDS_H
#define VELTO_ADMIN_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "admin/rules.h"
#include "admin/walk.h"
#include "store/store.h"

enum class record_kind { format, atom, atom_value };

// The directory label of each kind, in the order of FILE_DIRECTORIES.
record_kind kind_of_directory(std::size_t directory_index);

// The largest content a file of `kind` may have.
std::size_t record_size_limit(record_kind kind);

// Whether `name` is a name that a file of `kind` may have.
bool is_record_name(record_kind kind, const char* name);

// Writes one record line; false when the stream failed.
bool write_record(std::FILE* out, record_kind kind, const char* name, const unsigned char* bytes,
                  std::size_t size);

// Checks the file `name` of `kind` with `size` bytes of content, as check would: null code when
// it may be stored.
rule_problem check_record(record_kind kind, const char* name, const unsigned char* bytes,
                          std::size_t size);

// One parsed and checked record. `name` points into the line that was parsed, which must live
// as long as the record is used; the content is decoded into `content`.
struct store_record {
    record_kind kind = record_kind::format;
    const char* name = nullptr;
    int32_t atom = 0;  // the atom that an atom_value name gives
};

// Parses `line` (`length` bytes, a line feed at its end or not), changing it in place, decodes
// its content into `content` and checks the record. On failure returns false and leaves a
// description for the operator in `why`.
bool parse_record(char* line, std::size_t length, store_record* record, byte_buffer& content,
                  char (&why)[DETAIL_SIZE]);

// The path of the file a record names.
bool record_path(const store_record& record, char (&out)[PATH_BUFFER_SIZE]);

#endif  // VELTO_ADMIN_RECORDS_H
