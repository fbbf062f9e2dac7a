// store.cpp: the data directory and its tree.
#include "store/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/text.h"

const char* data_dir = DEFAULT_DATA_DIR;

namespace {

constexpr int TREE_SIZE = static_cast<int>(sizeof STORE_TREE / sizeof STORE_TREE[0]);
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool has_store_owner = false;
uid_t store_uid = 0;
gid_t store_gid = 0;

// The tree as ensure_store_dirs last opened it, while a request holds it: the root at
// ROOT_SLOT, each directory with children at its STORE_TREE index; -1 where nothing is held.
// Plain descriptors, closed by release_store_tree, so that the program starts with no
// constructor to run.
constexpr int ROOT_SLOT = TREE_SIZE;
bool is_holding_tree = false;
constinit int held_tree[TREE_SIZE + 1] = {-1, -1, -1, -1, -1};
static_assert(TREE_SIZE == 4, "held_tree's initializer has a -1 for each directory and the root");

// The store's root. An empty data_dir puts the tree at the top of the file system, as the paths
// formed from it ("/formats", ...) say.
fd_owner open_root() {
    return fd_owner(
        ::openat(AT_FDCWD, *data_dir == '\0' ? "/" : data_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// The directory `name` of the directory open as `parent`, never through a link. Linux answers
// ENOTDIR for a link opened with O_DIRECTORY | O_NOFOLLOW, FreeBSD ELOOP: the callers tell a link
// there (ELOOP) from a tree that is missing.
fd_owner open_child(int parent, const char* name) {
    fd_owner child(::openat(parent, name, DIRECTORY_FLAGS));
    struct stat status;
    if (!child && errno == ENOTDIR && ::fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(status.st_mode)) {
        errno = ELOOP;
    }
    return child;
}

void close_held_tree() {
    for (int& fd : held_tree) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

// The tree directory at `index`, below `root`, one directory at a time, from the nearest
// directory that the request holds open.
fd_owner open_below(int root, int index) {
    const tree_directory& directory = STORE_TREE[index];
    if (directory.parent < 0) return open_child(root, directory.name);
    const int held_parent = held_tree[directory.parent];
    if (held_parent >= 0) return open_child(held_parent, directory.name);
    const fd_owner parent = open_below(root, directory.parent);
    if (!parent) return fd_owner();
    return open_child(parent.get(), directory.name);
}

// Whether the path of the tree directory at `index` fits PATH_BUFFER_SIZE, as every path of the
// store must, though it is reached through descriptors: measured, not formatted.
bool fits_path(int index) {
    return std::strlen(data_dir) + 1 + std::strlen(STORE_TREE[index].label) < PATH_BUFFER_SIZE;
}

bool has_children(int index) {
    for (const tree_directory& directory : STORE_TREE) {
        if (directory.parent == index) return true;
    }
    return false;
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

// Creates data_dir itself, found missing, its parent's entry flushed too. Its parents are never
// created.
void ensure_root() {
    if (::mkdir(data_dir, 0755) != 0) return;
    give_store_owner(AT_FDCWD, data_dir);
    char parent[PATH_BUFFER_SIZE];
    const char* slash = std::strrchr(data_dir, '/');
    if (slash == nullptr || slash == data_dir ||
        !format_into(parent, sizeof parent, "%.*s", static_cast<int>(slash - data_dir), data_dir)) {
        return;
    }
    const fd_owner parent_fd(::openat(AT_FDCWD, parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent_fd) ::fsync(parent_fd.get());
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
    for (int i = 0; i < TREE_SIZE; i++) {
        if (std::strcmp(STORE_TREE[i].label, label) != 0) continue;
        if (!fits_path(i)) {
            errno = ENAMETOOLONG;
            return fd_owner();
        }
        if (held_tree[ROOT_SLOT] >= 0) return open_below(held_tree[ROOT_SLOT], i);
        const fd_owner root = open_root();
        if (!root) return fd_owner();
        return open_below(root.get(), i);
    }
    errno = ENOENT;
    return fd_owner();
}

void ensure_store_dirs() {
    close_held_tree();
    fd_owner root = open_root();
    if (!root && errno == ENOENT) {
        ensure_root();
        root = open_root();
    }
    if (!root) return;
    // A parent comes before its children in STORE_TREE, and is opened for them once it is there.
    fd_owner opened[TREE_SIZE];
    for (int i = 0; i < TREE_SIZE; i++) {
        const tree_directory& directory = STORE_TREE[i];
        if (!fits_path(i)) continue;
        const int parent = directory.parent < 0 ? root.get() : opened[directory.parent].get();
        if (parent < 0) continue;
        ensure_below(parent, directory.name);
        if (has_children(i)) opened[i] = open_child(parent, directory.name);
    }
    if (!is_holding_tree) return;
    held_tree[ROOT_SLOT] = root.release();
    for (int i = 0; i < TREE_SIZE; i++) held_tree[i] = opened[i].release();
}

void hold_store_tree() {
    is_holding_tree = true;
}

void release_store_tree() {
    close_held_tree();
    is_holding_tree = false;
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
