// layout.h: what lies in the store, kind by kind. One table gives each of the three kinds of
// file its directory, name rule, content rule, size limit and write mode; the routines below
// make and read names and contents. The service's handlers and velto-admin both go by them, so
// what one writes the other reads, and a limit is stated here once and derived everywhere else.
#ifndef VELTO_STORE_LAYOUT_H
#define VELTO_STORE_LAYOUT_H

#include <cstddef>
#include <cstdint>

#include "store/store.h"
#include "store/write_file.h"

// The largest request body the service accepts. Every file a registration writes holds text
// taken from such a body, so it bounds the files of the store too.
inline constexpr long MAX_BODY_LENGTH = 10485760;

// A store name and a percent-decoded path segment each fit a buffer of this size.
inline constexpr std::size_t NAME_BUFFER_SIZE = 512;
// escape_store_name stops once this many bytes or more are written, so a name holds at most
// two bytes more (a triplet begun just before the stop) and still fits NAME_BUFFER_SIZE.
inline constexpr std::size_t STORE_NAME_STOP = NAME_BUFFER_SIZE - 5;
inline constexpr std::size_t MAX_STORE_NAME_LENGTH = STORE_NAME_STOP + 2;

// The first line of an atom value file that the lookup answers: at most this many bytes.
inline constexpr std::size_t ATOM_LINE_BUFFER_SIZE = 512;
// An atom file's content: "%d\n" of an atom, at most "2147483647\n".
inline constexpr std::size_t ATOM_FILE_TEXT_SIZE = 16;

// The largest format file that the format lookup serves: its hex must fit the signed 32-bit
// counts that clients and the answer's framing are built for.
inline constexpr uint64_t MAX_FORMAT_FILE_SIZE = (uint64_t{1} << 31) - 1;
// An atom file longer than this is junk, whatever it holds; the lookup by string reads no more
// of one.
inline constexpr uint64_t MAX_ATOM_FILE_SIZE = 64;
// A registration writes the string of one body and a line feed.
inline constexpr uint64_t MAX_ATOM_VALUE_FILE_SIZE = MAX_BODY_LENGTH + 1;

enum class file_kind { format, atom, atom_value };

// Why a file's name or content is not what the service writes: the fault and a detail for
// people. `fault` is `none` when the file is sound.
enum class content_fault {
    none,
    format_too_short,
    format_too_large,
    format_cut,
    format_id_mismatch,
    atom_file_junk,
    atom_out_of_range,
    atom_value_empty,
    atom_value_unterminated,
    atom_value_bad_byte,
};
inline constexpr std::size_t DETAIL_SIZE = 256;
struct content_problem {
    content_fault fault = content_fault::none;
    char detail[DETAIL_SIZE] = "";
};

struct file_kind_rules {
    file_kind kind;
    const char* kind_name;      // "format", "atom", "atom_value": the kind in records
    const char* path_template;  // its directory, one of store.h's templates
    const char* label;          // its directory below data_dir, for messages
    const char* name_rule;      // what a name of this kind is, for messages
    bool (*is_name)(const char* name);
    content_problem (*check_content)(const char* name, const unsigned char* bytes,
                                     std::size_t size);
    uint64_t size_limit;
    write_mode mode;
};

// --- Names ---------------------------------------------------------------------------------------

// The store name of `source`: 0-9 A-Z a-z - . _ stand for themselves, every other byte is % and
// two lowercase hex digits. Stops once STORE_NAME_STOP bytes or more are written, so the name
// holds at most MAX_STORE_NAME_LENGTH bytes, never a cut triplet and never a '/'.
void escape_store_name(const char* source, char out[NAME_BUFFER_SIZE]);

// A format file name: lowercase hex, two digits per byte, of 1 to MAX_SERVER_ID_SIZE bytes.
bool is_id_text_name(const char* name);

// An atom file name exactly as escape_store_name writes one: only 0-9 A-Z a-z - . _ and "%xx"
// in lowercase hex for any other byte except NUL, which no string can hold; never "", "." or "..".
bool is_store_name(const char* name);

// An atom value file name: the plain decimal of an atom 0 to 2147483647, no sign, no leading
// zero. Sets *atom when it is one.
bool parse_atom_value_name(const char* name, int32_t* atom);
bool is_atom_value_name(const char* name);

// The name of a temporary of a write in progress or interrupted (write_file.h).
bool is_temporary_name(const char* name);

// The health report's counting rule: an entry counts unless its name begins with '.', whatever
// it is; so "." and "..", hidden files and temporaries never count.
bool is_counted_name(const char* name);

// --- Contents ------------------------------------------------------------------------------------

// The content of the atom file of `atom`: "%d\n". False only if it would not fit.
bool format_atom_file(int32_t atom, char (&out)[ATOM_FILE_TEXT_SIZE]);

// The name of the atom value file of `atom`: "%d", the form every textual form of the number in
// a request comes to. False only if it would not fit.
bool format_atom_value_name(int32_t atom, char (&out)[ATOM_FILE_TEXT_SIZE]);

// The atom at the start of an atom file's text (NUL-terminated), read as "%d" reads it: white
// space, an optional sign, at least one digit, the rest ignored. False when there is no such
// number or it lies outside the signed 32-bit range.
bool read_atom_text(const char* text, int32_t* atom);

// The string that the lookup by value answers from the first bytes of an atom value file
// (`size` of them at `line`, which has room for one more): the first line, its line feed
// removed, ended by a NUL in place. `size` is at most ATOM_LINE_BUFFER_SIZE - 1.
void end_first_line(char* line, std::size_t size);

// Format file content under the ID text `name`: at least the header, no shorter than its header
// declares, and giving `name` as its ID from the format library. The library reads only bytes
// that these checks have shown to be there.
content_problem check_format_content(const char* name, const unsigned char* bytes,
                                     std::size_t size);

// Atom file content: the atom's plain decimal and one line feed, nothing else. Sets *atom when
// the content is sound.
content_problem check_atom_content(const unsigned char* bytes, std::size_t size, int32_t* atom);

// Atom value file content: a string and the line feed after it; no NUL (the lookup would end
// the string there) and no double quote (the lookup's answer would stop being JSON), neither of
// which a registration can write. `*line_count` is the number of line feeds: a string that held
// one comes back from the lookup only up to it.
content_problem check_atom_value_content(const unsigned char* bytes, std::size_t size,
                                         std::size_t* line_count);

// --- The table -----------------------------------------------------------------------------------

namespace layout_detail {
content_problem check_atom_file(const char* name, const unsigned char* bytes, std::size_t size);
content_problem check_atom_value_file(const char* name, const unsigned char* bytes,
                                      std::size_t size);
}  // namespace layout_detail

// The kinds of file, in the order every walk over the store takes them.
inline constexpr file_kind_rules FILE_KINDS[] = {
    {file_kind::format, "format", PATH_FORMATS, "formats", "the lowercase hex of a server ID",
     is_id_text_name, check_format_content, MAX_FORMAT_FILE_SIZE,
     // link(), not rename(): the first stored copy must win a race.
     write_mode::create_only},
    {file_kind::atom, "atom", PATH_ATOM_STRINGS, "atoms/s",
     "a store name as registration makes one", is_store_name, layout_detail::check_atom_file,
     MAX_ATOM_FILE_SIZE, write_mode::replace},
    {file_kind::atom_value, "atom_value", PATH_ATOM_VALUES, "atoms/v",
     "the decimal of an atom 0 to 2147483647", is_atom_value_name,
     layout_detail::check_atom_value_file, MAX_ATOM_VALUE_FILE_SIZE, write_mode::replace},
};

constexpr const file_kind_rules& rules_of(file_kind kind) {
    return FILE_KINDS[static_cast<std::size_t>(kind)];
}
static_assert(rules_of(file_kind::format).kind == file_kind::format &&
                  rules_of(file_kind::atom).kind == file_kind::atom &&
                  rules_of(file_kind::atom_value).kind == file_kind::atom_value,
              "FILE_KINDS is indexed by file_kind");

#endif  // VELTO_STORE_LAYOUT_H
