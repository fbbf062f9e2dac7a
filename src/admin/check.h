// check.h: velto-admin check, the soundness report over a whole store.
#ifndef VELTO_ADMIN_CHECK_H
#define VELTO_ADMIN_CHECK_H

// Exit statuses of every command.
inline constexpr int EXIT_SOUND = 0;
inline constexpr int EXIT_FAULTS = 1;
inline constexpr int EXIT_USAGE = 2;

struct check_options {
    bool is_json = false;  // JSON Lines instead of text
};

// Walks the tree below data_dir and reports every finding on standard output, one per line,
// with its path, then a summary. Reads only; never creates or changes anything.
//
// Levels: a fault is something no run of the CGI program leaves behind and that a lookup
// would answer wrongly or not at all (corrupt, cut or foreign files, junk, a directory where a
// file belongs, a missing or wrong directory of the tree). A warning is an incomplete
// registration that the program's own failure path leaves (the atom file written, its atom
// value file not), which registering the pair again mends. A note is by design: a stale
// mapping between the two directions, a temporary of a write in progress or interrupted, a
// string that the lookup by value answers only up to its first line feed, an entry beside
// the tree that the store does not use.
//
// EXIT_SOUND when there was no fault (warnings and notes allowed), EXIT_FAULTS otherwise or
// when standard output could not be written.
int run_check(const check_options& options);

#endif  // VELTO_ADMIN_CHECK_H
