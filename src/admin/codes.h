// codes.h: what velto-admin tells its callers beyond text: the exit status of every command, and
// the code of every finding that check reports, a stable name for monitors, with its level.
#ifndef VELTO_ADMIN_CODES_H
#define VELTO_ADMIN_CODES_H

#include <cstddef>

#include "store/layout.h"

// Exit statuses of every command.
inline constexpr int EXIT_SOUND = 0;
inline constexpr int EXIT_FAULTS = 1;
inline constexpr int EXIT_USAGE = 2;

// A fault is something no run of the CGI program leaves behind and that a request would answer
// wrongly or not at all. A warning is sound for now but wants the operator: an incomplete
// registration that the program's own failure path leaves, which registering the pair again
// mends, or an entry that belongs to another user than the server's. A note is by design.
enum class level { fault, warning, note };

enum class finding {
    // faults
    path_too_long,
    missing_directory,
    not_a_directory,
    unreadable,
    not_regular_file,
    foreign_name,
    format_too_short,
    format_too_large,
    format_cut,
    format_id_mismatch,
    atom_file_junk,
    atom_out_of_range,
    atom_value_empty,
    atom_value_unterminated,
    atom_value_bad_byte,
    atom_value_too_large,
    no_access,
    // warnings
    atom_value_missing,
    atom_file_missing,
    foreign_owner,
    // notes
    foreign_entry,
    temporary,
    stale_mapping,
    multi_line_value,
};

struct finding_rule {
    finding which;
    level at;
    const char* code;
};

inline constexpr finding_rule FINDINGS[] = {
    {finding::path_too_long, level::fault, "path_too_long"},
    {finding::missing_directory, level::fault, "missing_directory"},
    {finding::not_a_directory, level::fault, "not_a_directory"},
    {finding::unreadable, level::fault, "unreadable"},
    {finding::not_regular_file, level::fault, "not_regular_file"},
    {finding::foreign_name, level::fault, "foreign_name"},
    {finding::format_too_short, level::fault, "format_too_short"},
    {finding::format_too_large, level::fault, "format_too_large"},
    {finding::format_cut, level::fault, "format_cut"},
    {finding::format_id_mismatch, level::fault, "format_id_mismatch"},
    {finding::atom_file_junk, level::fault, "atom_file_junk"},
    {finding::atom_out_of_range, level::fault, "atom_out_of_range"},
    {finding::atom_value_empty, level::fault, "atom_value_empty"},
    {finding::atom_value_unterminated, level::fault, "atom_value_unterminated"},
    {finding::atom_value_bad_byte, level::fault, "atom_value_bad_byte"},
    {finding::atom_value_too_large, level::fault, "atom_value_too_large"},
    {finding::no_access, level::fault, "no_access"},
    {finding::atom_value_missing, level::warning, "atom_value_missing"},
    {finding::atom_file_missing, level::warning, "atom_file_missing"},
    {finding::foreign_owner, level::warning, "foreign_owner"},
    {finding::foreign_entry, level::note, "foreign_entry"},
    {finding::temporary, level::note, "temporary"},
    {finding::stale_mapping, level::note, "stale_mapping"},
    {finding::multi_line_value, level::note, "multi_line_value"},
};

constexpr const finding_rule& rule_of(finding which) {
    return FINDINGS[static_cast<std::size_t>(which)];
}

constexpr bool findings_are_indexed() {
    for (std::size_t i = 0; i < sizeof FINDINGS / sizeof FINDINGS[0]; i++) {
        if (static_cast<std::size_t>(FINDINGS[i].which) != i) return false;
    }
    return true;
}
static_assert(findings_are_indexed(), "FINDINGS is indexed by finding");

// The finding that a content fault of the store's rules is; `none` never reaches here.
constexpr finding finding_of(content_fault fault) {
    switch (fault) {
        case content_fault::none:
        case content_fault::format_too_short:
            return finding::format_too_short;
        case content_fault::format_too_large:
            return finding::format_too_large;
        case content_fault::format_cut:
            return finding::format_cut;
        case content_fault::format_id_mismatch:
            return finding::format_id_mismatch;
        case content_fault::atom_file_junk:
            return finding::atom_file_junk;
        case content_fault::atom_out_of_range:
            return finding::atom_out_of_range;
        case content_fault::atom_value_empty:
            return finding::atom_value_empty;
        case content_fault::atom_value_unterminated:
            return finding::atom_value_unterminated;
        case content_fault::atom_value_bad_byte:
            return finding::atom_value_bad_byte;
    }
    return finding::format_too_short;
}

// The finding for a file larger than its kind allows: an atom file that long is junk whatever
// it holds.
constexpr finding too_large_finding(file_kind kind) {
    switch (kind) {
        case file_kind::format:
            return finding::format_too_large;
        case file_kind::atom:
            return finding::atom_file_junk;
        case file_kind::atom_value:
            return finding::atom_value_too_large;
    }
    return finding::format_too_large;
}

#endif  // VELTO_ADMIN_CODES_H
