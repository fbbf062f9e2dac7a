// files.h: the store's operations on its files, which the service's registries and velto-admin
// both call: storing a format, storing an atom pair, storing any one file, opening and reading a
// file, counting a directory.
#ifndef VELTO_STORE_FILES_H
#define VELTO_STORE_FILES_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/owners.h"
#include "store/layout.h"
#include "store/write_file.h"

enum class store_outcome { stored, failed };

// Stores `bytes` as the format file `id_text` unless an entry is there already, which then
// counts as stored whatever it holds: the first stored copy of a format stays.
store_outcome store_format_file(const char* id_text, std::string_view bytes);

enum class pair_outcome { stored, atom_file_failed, atom_value_file_failed };

// Replaces the atom file `store_name` with `atom`, then the atom value file of `atom` with
// `string` and a line feed. When the second write fails the first stays in place.
pair_outcome store_atom_pair(const char* store_name, int32_t atom, const char* string);

// Writes the file `name` of `kind` with `bytes`, in the kind's write mode.
write_result store_file(file_kind kind, const char* name, std::string_view bytes);

// Opens the directory of `kind` for listing and for the *at() calls on its entries; an empty
// owner (errno set) when it cannot be.
fd_owner open_store_directory(file_kind kind);

// Opens the file `name` of `kind` for reading; an empty owner (errno set) when it cannot be.
fd_owner open_store_file(file_kind kind, const char* name);

enum class read_status {
    read,
    missing,      // no entry under the name (removed meanwhile)
    not_regular,  // a directory, link, FIFO or other non-file where a file belongs
    too_large,    // larger than the limit asked for
    failed,       // errno tells why
};

// Reads the entry `name` of the directory open as `dir_fd` whole into `out`, without following
// a symbolic link and without blocking on a FIFO. `*status` receives the entry's status whenever
// it could be queried, also for the not_regular and too_large outcomes; a file of more than
// `limit` bytes is not read.
read_status read_store_entry(int dir_fd, const char* name, uint64_t limit, byte_buffer& out,
                             struct stat* status);

// The entries of the kind's directory that the health report counts (is_counted_name), at most
// INT32_MAX; 0 when the directory cannot be read.
int32_t count_store_entries(file_kind kind);

#endif  // VELTO_STORE_FILES_H
