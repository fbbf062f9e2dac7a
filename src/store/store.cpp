// store.cpp: the data directory and its tree.
#include "store/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

const char* data_dir = DEFAULT_DATA_DIR;

namespace {

constexpr std::size_t TREE_SIZE = sizeof STORE_TREE / sizeof STORE_TREE[0];
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool has_store_owner = false;
uid_t store_uid = 0;
gid_t store_gid = 0;

// The store's root. An empty data_dir puts the tree at the top of the file system, as the paths
// formed from it ("/formats", ...) say.
fd_owner open_root() {
    return fd_owner(::open(*data_dir == '\0' ? "/" : data_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// The directory named by the first `length` bytes of a tree label, below `root`, one component
// at a time and never through a link.
fd_owner open_below(int root, const char* label, std::size_t length) {
    fd_owner current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    std::size_t start = 0;
    while (current && start < length) {
        const char* slash = static_cast<const char*>(std::memchr(label + start, '/', length - start));
        const std::size_t end = slash == nullptr ? length : static_cast<std::size_t>(slash - label);
        char component[PATH_BUFFER_SIZE];
        if (end - start >= sizeof component) {
            errno = ENAMETOOLONG;
            return fd_owner();
        }
        std::memcpy(component, label + start, end - start);
        component[end - start] = '\0';
        current = fd_owner(::openat(current.get(), component, DIRECTORY_FLAGS));
        start = end + 1;
    }
    return current;
}

// Makes the directory `name` in `parent` unless something is there already, of whatever kind.
// A new entry is flushed into its parent: a registration acknowledged inside a directory whose
// own entry a power cut then takes with it would be lost.
void ensure_below(int parent, const char* name) {
    struct stat status;
    if (::fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) == 0) return;
    if (::mkdirat(parent, name, 0755) != 0 && errno != EEXIST) return;
    give_store_owner(parent, name);
    ::fsync(parent);
}

}  // namespace

bool store_path(char (&out)[PATH_BUFFER_SIZE], const char* path_template, ...) {
    va_list arguments;
    va_start(arguments, path_template);
    const int length = std::vsnprintf(out, sizeof out, path_template, arguments);
    va_end(arguments);
    return length >= 0 && static_cast<std::size_t>(length) < sizeof out;
}

fd_owner open_tree_directory(const char* label) {
    for (const tree_directory& directory : STORE_TREE) {
        char path[PATH_BUFFER_SIZE];
        if (std::strcmp(directory.label, label) == 0 &&
            !store_path(path, directory.path_template, data_dir)) {
            errno = ENAMETOOLONG;
            return fd_owner();
        }
    }
    const fd_owner root = open_root();
    if (!root) return fd_owner();
    return open_below(root.get(), label, std::strlen(label));
}

void ensure_store_dirs() {
    struct stat status;
    if (::stat(data_dir, &status) != 0 && ::mkdir(data_dir, 0755) == 0) {
        give_store_owner(AT_FDCWD, data_dir);
        // The new root's own entry goes to disk with its parent.
        char parent[PATH_BUFFER_SIZE];
        const char* slash = std::strrchr(data_dir, '/');
        if (slash != nullptr && slash != data_dir &&
            std::snprintf(parent, sizeof parent, "%.*s", static_cast<int>(slash - data_dir),
                          data_dir) < static_cast<int>(sizeof parent)) {
            const fd_owner parent_fd(::open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (parent_fd) ::fsync(parent_fd.get());
        }
    }
    const fd_owner root = open_root();
    if (!root) return;
    // Each directory's parent comes before it in STORE_TREE; a parent opened for one child is
    // kept for its siblings.
    fd_owner parents[TREE_SIZE];
    for (std::size_t i = 0; i < TREE_SIZE; i++) {
        char path[PATH_BUFFER_SIZE];
        if (!store_path(path, STORE_TREE[i].path_template, data_dir)) continue;
        const char* label = STORE_TREE[i].label;
        const char* slash = std::strrchr(label, '/');
        if (slash == nullptr) {
            ensure_below(root.get(), label);
            continue;
        }
        const auto parent_length = static_cast<std::size_t>(slash - label);
        std::size_t parent_index = TREE_SIZE;
        for (std::size_t j = 0; j < i; j++) {
            if (std::strlen(STORE_TREE[j].label) == parent_length &&
                std::strncmp(STORE_TREE[j].label, label, parent_length) == 0) {
                parent_index = j;
            }
        }
        if (parent_index == TREE_SIZE) continue;
        fd_owner& parent = parents[parent_index];
        if (!parent) parent = open_below(root.get(), label, parent_length);
        if (parent) ensure_below(parent.get(), slash + 1);
    }
}

void set_store_owner(uid_t uid, gid_t gid) {
    has_store_owner = true;
    store_uid = uid;
    store_gid = gid;
}

bool give_store_owner(int dir_fd, const char* name, int fd) {
    if (!has_store_owner) return true;
    if (name == nullptr) return ::fchown(fd, store_uid, store_gid) == 0;
    return ::fchownat(dir_fd, name, store_uid, store_gid, AT_SYMLINK_NOFOLLOW) == 0;
}
