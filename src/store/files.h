// files.h: the store's operations on its files, which the service's registries and velto-admin
// both call: storing a format, storing an atom pair, storing any one file, reading a file,
// counting a directory.
//
// No link below data_dir is followed and no open waits on a FIFO: a name that holds anything but
// a regular file reads as a file that is there and cannot be read.
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
// counts as stored whatever it is: the first stored copy of a format stays. Either way `stored`
// means the entry and its directory are on disk.
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

enum class read_status {
    read,
    missing,      // nothing under the name: no entry, or a tree that is not there
    not_regular,  // a directory, link, FIFO or other non-file where a file belongs
    too_large,    // larger than the limit asked for
    failed,       // the store could not be reached or read (errno tells why), or no memory
};

// Reads the first bytes of the file `name` of `kind`, at most `capacity`, into `out`; *size
// receives how many. An open or read that fails with ESTALE, which a shared file system gives
// for a name replaced on another host, is tried once more.
read_status read_store_prefix(file_kind kind, const char* name, void* out, std::size_t capacity,
                              std::size_t* size);

// Reads the whole file `name` of `kind`, at most `limit` bytes, into a block from qsr_malloc of
// exactly its size (*size bytes), which the caller then owns. ESTALE is tried once more.
read_status read_store_file(file_kind kind, const char* name, uint64_t limit,
                            heap_ptr<unsigned char>* bytes, std::size_t* size);

// Reads the entry `name` of the directory open as `dir_fd` whole into `out`. `*status` receives
// the entry's status whenever it could be queried, also for the not_regular and too_large
// outcomes; a file of more than `limit` bytes is not read.
read_status read_store_entry(int dir_fd, const char* name, uint64_t limit, byte_buffer& out,
                             struct stat* status);

// The entries of the kind's directory that the health report counts (is_counted_name), at most
// INT32_MAX; 0 when the directory cannot be read.
int32_t count_store_entries(file_kind kind);

#endif  // VELTO_STORE_FILES_H
