// store.h: the store's root, its tree and the paths formed below it.
//
// The tree below data_dir:
//   formats/      one format file per server ID, named by the ID's lowercase hex
//   atoms/s/      one atom file per store name, holding the atom as "%d\n"
//   atoms/v/      one atom value file per atom, named "%d", holding the string and "\n"
// layout.h gives each kind of file its name, content, size limit and write mode. Files are put
// in place whole under their final names (write_file.h); names that begin with '.' and hold '~'
// are temporaries of writes in progress or interrupted, never records.
#ifndef VELTO_STORE_STORE_H
#define VELTO_STORE_STORE_H

#include <sys/types.h>

#include <cstddef>

#include "base/owners.h"

inline constexpr std::size_t PATH_BUFFER_SIZE = 1024;
inline constexpr char DEFAULT_DATA_DIR[] = "/tmp/velto_data";

// The store's root for the whole process: DEFAULT_DATA_DIR, or the value of VELTO_DATA_DIR
// when the environment holds it (even empty), used in place and never changed afterwards.
extern const char* data_dir;

// Path templates; the first argument is always data_dir.
inline constexpr char PATH_FORMATS[] = "%s/formats";
inline constexpr char PATH_ATOMS[] = "%s/atoms";
inline constexpr char PATH_ATOM_STRINGS[] = "%s/atoms/s";
inline constexpr char PATH_ATOM_VALUES[] = "%s/atoms/v";
inline constexpr char PATH_FORMAT_FILE[] = "%s/formats/%s";
inline constexpr char PATH_ATOM_FILE[] = "%s/atoms/s/%s";
inline constexpr char PATH_ATOM_VALUE_FILE[] = "%s/atoms/v/%d";

// One directory of the tree below data_dir.
struct tree_directory {
    const char* path_template;  // one of the directory templates above
    const char* label;          // its path below data_dir, for messages
    const char* name;           // its name in its parent
    int parent;                 // its parent's index in STORE_TREE; -1 for data_dir
};

// The tree below data_dir, each directory after its parent: the order of creation.
inline constexpr tree_directory STORE_TREE[] = {
    {PATH_FORMATS, "formats", "formats", -1},
    {PATH_ATOMS, "atoms", "atoms", -1},
    {PATH_ATOM_STRINGS, "atoms/s", "s", 1},
    {PATH_ATOM_VALUES, "atoms/v", "v", 1},
};

// Formats a store path; false when it would not fit PATH_BUFFER_SIZE, in which case the
// operation that wanted it must fail as if its open had failed, never use a cut path.
bool store_path(char (&out)[PATH_BUFFER_SIZE], const char* path_template, ...)
    __attribute__((format(printf, 2, 3)));

// Below data_dir nothing is ever reached through a symbolic link: a link at a directory of the
// tree or at a file name could lead anywhere another user of the machine likes. data_dir itself
// may be a link; that is the operator's choice.

// Opens the directory of the tree whose label is `label` ("formats", "atoms/s", ...) for
// listing and for the *at() calls on its entries, one component at a time below data_dir,
// following no link. An empty owner, errno set, when it cannot be: ELOOP when a component is a
// link (whatever the system itself answers for one), ENOTDIR when one is no directory,
// ENAMETOOLONG when its path would not fit PATH_BUFFER_SIZE.
fd_owner open_tree_directory(const char* label);

// Creates whichever of data_dir and the STORE_TREE directories is missing, one level at a time,
// mode 0755 less the umask, and flushes each new directory's entry into its parent before
// anything in it can be acknowledged. Silent: a step that fails leaves the later ones to fail in
// turn, and the operations meet the failure at their own opens. Anything already under a name,
// of whatever kind, counts as present; nothing is created below a link.
void ensure_store_dirs();

// From now on ensure_store_dirs keeps the descriptors it opened (data_dir, and the tree's
// directories that hold others) until the next ensure_store_dirs, or release_store_tree, which
// closes them and ends the holding; open_tree_directory walks from them: a request that ensures
// the tree first then opens each directory it reads with one call instead of a walk from
// data_dir. For a request's span only (the HTTP front end holds it; a FastCGI worker releases it
// after each request): the held directories are the ones data_dir named when the tree was
// ensured. velto-admin, whose runs are long, never holds it.
void hold_store_tree();
void release_store_tree();

// The owner that the store's new files and directories are given; unset, they keep the
// process's own. velto-admin run as root sets the store's owner, so that what it creates stays
// writable by the server.
void set_store_owner(uid_t uid, gid_t gid);
// Gives a new entry `name` of the directory open as `dir_fd` (or the open file `fd` when `name` is
// null) the store's owner when one was set. False when that failed.
bool give_store_owner(int dir_fd, const char* name, int fd = -1);

#endif  // VELTO_STORE_STORE_H
