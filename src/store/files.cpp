// files.cpp: storing, reading and counting the store's files.
#include "store/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/io.h"
#include "base/text.h"
#include "qsr.h"

namespace {

// The longest name that the kind's directory leaves room for: the whole path of a file must fit
// PATH_BUFFER_SIZE, as every path of the store must, though the file is reached through its
// directory's descriptor. 0 when not even the directory's path fits.
std::size_t name_room(file_kind kind) {
    // data_dir, '/', the directory's label, '/', the name and a NUL.
    const std::size_t directory_length =
        std::strlen(data_dir) + 1 + std::strlen(rules_of(kind).label);
    return directory_length + 2 < PATH_BUFFER_SIZE ? PATH_BUFFER_SIZE - 2 - directory_length : 0;
}

bool fits_path(file_kind kind, const char* name) {
    return std::strlen(name) <= name_room(kind) && name_room(kind) > 0;
}

// Whether a failed open says that nothing readable is under the name (the lookups' "not found"),
// rather than a store that cannot be reached or a process out of resources.
bool is_absence(int error) {
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == EPERM ||
           error == ENAMETOOLONG;
}

// ELOOP: the name (or a directory of the tree) is a link; ENXIO: a socket, or a device without a
// driver. Either is something other than a file where one belongs.
read_status status_of_failed_open(int error) {
    if (error == ELOOP || error == ENXIO) return read_status::not_regular;
    return is_absence(error) ? read_status::missing : read_status::failed;
}

// Opens the file `name` of `kind` for reading: a regular file, never through a link, never
// waiting on a FIFO. The empty name stands for the directory itself, as the path with an empty
// last component does.
read_status open_regular(file_kind kind, const char* name, fd_owner* fd, struct stat* status) {
    if (!fits_path(kind, name)) return read_status::missing;
    const fd_owner directory = open_store_directory(kind);
    if (!directory) return status_of_failed_open(errno);
    *fd = fd_owner(::openat(directory.get(), *name == '\0' ? "." : name,
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!*fd) return status_of_failed_open(errno);
    if (::fstat(fd->get(), status) != 0) return read_status::failed;
    return S_ISREG(status->st_mode) ? read_status::read : read_status::not_regular;
}

write_result write_kind_file(file_kind kind, const char* name,
                             std::initializer_list<std::string_view> pieces) {
    if (!fits_path(kind, name)) return write_result::failed;
    const fd_owner directory = open_store_directory(kind);
    if (!directory) return write_result::failed;
    return write_store_file(directory.get(), name, pieces, rules_of(kind).mode, name_room(kind));
}

}  // namespace

store_outcome store_format_file(const char* id_text, std::string_view bytes) {
    if (!fits_path(file_kind::format, id_text)) return store_outcome::failed;
    const fd_owner directory = open_store_directory(file_kind::format);
    if (!directory) return store_outcome::failed;
    // An entry already under the name, of whatever kind, counts as stored: the entry itself,
    // never what a link there points at. Another process may have put it there and not yet
    // flushed it, so it is flushed before it is acknowledged.
    struct stat status;
    if (::fstatat(directory.get(), id_text, &status, AT_SYMLINK_NOFOLLOW) == 0) {
        return sync_store_entry(directory.get(), id_text) ? store_outcome::stored
                                                          : store_outcome::failed;
    }
    return write_store_file(directory.get(), id_text, {bytes}, rules_of(file_kind::format).mode,
                            name_room(file_kind::format)) == write_result::failed
               ? store_outcome::failed
               : store_outcome::stored;
}

pair_outcome store_atom_pair(const char* store_name, int32_t atom, const char* string) {
    char atom_text[ATOM_FILE_TEXT_SIZE];
    format_atom_file(atom, atom_text);
    if (write_kind_file(file_kind::atom, store_name, {atom_text}) != write_result::written) {
        return pair_outcome::atom_file_failed;
    }
    char value_name[ATOM_FILE_TEXT_SIZE];
    if (!format_atom_value_name(atom, value_name) ||
        write_kind_file(file_kind::atom_value, value_name, {string, "\n"}) !=
            write_result::written) {
        return pair_outcome::atom_value_file_failed;
    }
    return pair_outcome::stored;
}

write_result store_file(file_kind kind, const char* name, std::string_view bytes) {
    return write_kind_file(kind, name, {bytes});
}

fd_owner open_store_directory(file_kind kind) {
    return open_tree_directory(rules_of(kind).label);
}

read_status read_store_prefix(file_kind kind, const char* name, void* out, std::size_t capacity,
                              std::size_t* size) {
    for (int attempt = 0;; attempt++) {
        fd_owner fd;
        struct stat status;
        read_status result = open_regular(kind, name, &fd, &status);
        if (result == read_status::read) {
            const ssize_t count = read_up_to(fd.get(), out, capacity);
            if (count >= 0) {
                *size = static_cast<std::size_t>(count);
                return read_status::read;
            }
            result = read_status::failed;
        }
        if (result != read_status::failed || errno != ESTALE || attempt > 0) return result;
    }
}

read_status read_store_file(file_kind kind, const char* name, uint64_t limit,
                            heap_ptr<unsigned char>* bytes, std::size_t* size) {
    for (int attempt = 0;; attempt++) {
        fd_owner fd;
        struct stat status;
        read_status result = open_regular(kind, name, &fd, &status);
        if (result == read_status::read) {
            if (status.st_size < 0 || static_cast<uint64_t>(status.st_size) > limit) {
                return read_status::too_large;
            }
            *size = static_cast<std::size_t>(status.st_size);
            bytes->reset(static_cast<unsigned char*>(qsr_malloc(*size)));
            if (!*bytes) return read_status::failed;
            if (read_up_to(fd.get(), bytes->get(), *size) == static_cast<ssize_t>(*size)) {
                return read_status::read;
            }
            bytes->reset();
            result = read_status::failed;
        }
        if (result != read_status::failed || errno != ESTALE || attempt > 0) return result;
    }
}

read_status read_store_entry(int dir_fd, const char* name, uint64_t limit, byte_buffer& out,
                             struct stat* status) {
    out.set_size(0);
    if (::fstatat(dir_fd, name, status, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? read_status::missing : read_status::failed;
    }
    if (!S_ISREG(status->st_mode)) return read_status::not_regular;
    if (status->st_size < 0 || static_cast<uint64_t>(status->st_size) > limit) {
        return read_status::too_large;
    }
    const fd_owner fd(::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return errno == ENOENT ? read_status::missing : read_status::failed;
    // Queried again on the open file: the entry may have been replaced since the first query.
    if (::fstat(fd.get(), status) != 0) return read_status::failed;
    if (!S_ISREG(status->st_mode)) return read_status::not_regular;
    if (static_cast<uint64_t>(status->st_size) > limit) return read_status::too_large;
    const auto size = static_cast<std::size_t>(status->st_size);
    if (!out.reserve(size)) return read_status::failed;
    // One byte past the size is asked for, so a file that grew since fstat is seen as changed.
    if (read_up_to(fd.get(), out.data(), size + 1) != static_cast<ssize_t>(size)) {
        return read_status::failed;
    }
    out.set_size(size);
    return read_status::read;
}

int32_t count_store_entries(file_kind kind) {
    directory_scan scan(open_store_directory(kind).release());
    int32_t count = 0;
    while (const char* name = scan.next()) {
        if (is_counted_name(name) && count < INT32_MAX) count++;
    }
    return count;
}
