// files.cpp: storing, opening, reading and counting the store's files.
#include "store/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/io.h"
#include "base/text.h"

namespace {

bool file_path(file_kind kind, const char* name, char (&out)[PATH_BUFFER_SIZE]) {
    char directory[PATH_BUFFER_SIZE];
    return store_path(directory, rules_of(kind).path_template, data_dir) &&
           format_into(out, sizeof out, "%s/%s", directory, name);
}

// An existing entry under the final name, of whatever kind and content, counts as stored.
bool is_present(const char* path) {
    const fd_owner fd(::open(path, O_RDONLY | O_CLOEXEC));
    return static_cast<bool>(fd);
}

}  // namespace

store_outcome store_format_file(const char* id_text, std::string_view bytes) {
    char path[PATH_BUFFER_SIZE];
    if (!file_path(file_kind::format, id_text, path)) return store_outcome::failed;
    if (is_present(path)) return store_outcome::stored;
    return write_store_file(path, {bytes}, rules_of(file_kind::format).mode) == write_result::failed
               ? store_outcome::failed
               : store_outcome::stored;
}

pair_outcome store_atom_pair(const char* store_name, int32_t atom, const char* string) {
    char atom_text[ATOM_FILE_TEXT_SIZE];
    char path[PATH_BUFFER_SIZE];
    format_atom_file(atom, atom_text);
    if (!file_path(file_kind::atom, store_name, path) ||
        write_store_file(path, {atom_text}, rules_of(file_kind::atom).mode) !=
            write_result::written) {
        return pair_outcome::atom_file_failed;
    }
    char value_name[ATOM_FILE_TEXT_SIZE];
    if (!format_into(value_name, sizeof value_name, "%d", atom) ||
        !file_path(file_kind::atom_value, value_name, path) ||
        write_store_file(path, {string, "\n"}, rules_of(file_kind::atom_value).mode) !=
            write_result::written) {
        return pair_outcome::atom_value_file_failed;
    }
    return pair_outcome::stored;
}

write_result store_file(file_kind kind, const char* name, std::string_view bytes) {
    char path[PATH_BUFFER_SIZE];
    if (!file_path(kind, name, path)) return write_result::failed;
    return write_store_file(path, {bytes}, rules_of(kind).mode);
}

fd_owner open_store_directory(file_kind kind) {
    char path[PATH_BUFFER_SIZE];
    if (!store_path(path, rules_of(kind).path_template, data_dir)) {
        errno = ENAMETOOLONG;
        return fd_owner();
    }
    return fd_owner(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

fd_owner open_store_file(file_kind kind, const char* name) {
    char path[PATH_BUFFER_SIZE];
    if (!file_path(kind, name, path)) {
        errno = ENAMETOOLONG;
        return fd_owner();
    }
    return fd_owner(::open(path, O_RDONLY | O_CLOEXEC));
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
