// rules.h: what a sound store holds, entry by entry: the names of its three kinds of file and
// their contents, as the CGI program writes them and its lookups read them. check reports by
// these rules, export keeps only what passes them, and import refuses what does not.
#ifndef VELTO_ADMIN_RULES_H
#define VELTO_ADMIN_RULES_H

#include <cstddef>
#include <cstdint>

// Room for any detail text a rule gives.
inline constexpr std::size_t DETAIL_SIZE = 256;

// The largest format file that the format lookup serves; a larger one can never be read back.
inline constexpr uint64_t MAX_FORMAT_FILE_SIZE = uint64_t{1} << 31;
// "2147483647\n" and change: an atom file longer than this is junk, whatever it holds.
inline constexpr std::size_t MAX_ATOM_FILE_SIZE = 64;
// A registration writes the string of a body of at most 10 MiB and a line feed.
inline constexpr std::size_t MAX_ATOM_VALUE_FILE_SIZE = 10485760 + 1;

// A fault found in a name or a content: a stable code for monitors and a detail for people.
// The code is null when the entry is sound.
struct rule_problem {
    const char* code = nullptr;
    char detail[DETAIL_SIZE] = "";
};

// The name of a temporary of a write in progress or interrupted (write_file.h).
bool is_temporary_name(const char* name);

// A format file name: lowercase hex, two digits per byte, of 1 to MAX_SERVER_ID_SIZE bytes.
bool is_id_text_name(const char* name);

// An atom file name exactly as escape_store_name writes one: only 0-9 A-Z a-z - . _ and "%xx"
// in lowercase hex for any other byte except NUL, which no string can hold; never "", "." or "..".
bool is_store_name(const char* name);

// An atom value file name: the plain decimal of an atom 0 to 2147483647, no sign, no leading
// zero. Sets *atom when it is one.
bool parse_atom_value_name(const char* name, int32_t* atom);

// Format file content under the ID text `name`: at least the 8-byte header, no shorter than its
// header declares, and giving `name` as its ID from the format library. The library reads only
// bytes that these checks have shown to be there.
rule_problem check_format_content(const char* name, const unsigned char* bytes, std::size_t size);

// Atom file content: the atom's plain decimal and one line feed, nothing else. Sets *atom when
// the content is sound.
rule_problem check_atom_content(const unsigned char* bytes, std::size_t size, int32_t* atom);

// Atom value file content: a string and the line feed after it; no NUL (the lookup would end
// the string there) and no double quote (the lookup's answer would stop being JSON), neither of
// which a registration can write. `*line_count` is the number of line feeds: a string that held
// one comes back from the lookup only up to it.
rule_problem check_atom_value_content(const unsigned char* bytes, std::size_t size,
                                      std::size_t* line_count);

#endif  // VELTO_ADMIN_RULES_H
