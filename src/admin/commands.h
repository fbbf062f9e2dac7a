// commands.h: velto-admin's commands over the store below data_dir. Each returns the process's
// exit status (codes.h).
#ifndef VELTO_ADMIN_COMMANDS_H
#define VELTO_ADMIN_COMMANDS_H

#include <cstdint>

struct check_options {
    bool is_json = false;        // JSON Lines instead of text
    const char* user = nullptr;  // the server's user; null: the owner of data_dir
};

// Walks the tree below data_dir and reports every finding on standard output, one per line,
// with its path, then a summary. Reads only; never creates or changes anything, and follows no
// link below data_dir. The findings and their levels are codes.h's. Every entry is held against
// the server's user too: owned by another user, or (directories) not writable or (files) not
// readable by it.
// EXIT_SOUND when there was no fault (warnings and notes allowed), EXIT_FAULTS otherwise or
// when standard output could not be written or the user is unknown.
int run_check(const check_options& options);

struct transfer_options {
    const char* file = nullptr;  // null or "-": standard output or input
    bool is_quiet = false;       // no summary on standard error (errors are always reported)
};

// Writes one record per format file, atom file and atom value file below data_dir, formats
// first, then atom files, then atom value files, each directory in its listing order. A file
// that check would call a fault is left out and named on standard error, so that every export
// can be imported; temporaries are never records. An export to a file is flushed to disk
// before success is reported, and removed again when it could not be completed.
// EXIT_SOUND when every file was exported, EXIT_FAULTS when any was left out or the output
// could not be written.
int run_export(const transfer_options& options);

// Reads records and stores them through the store's write routine: format files create-only
// (a format file already there stays, and its ID comes from its content, so merging two stores
// never clashes), atom files and atom value files replaced, unless they already hold the same
// bytes. Every record is parsed and checked before the first is written; on a bad record the
// line is named on standard error and the store is left exactly as it was. The tree is created
// when missing. A failed write stops the import with the records before it in place, each of
// them whole; running the same import again finishes it.
// EXIT_SOUND on success, EXIT_FAULTS on bad input or a failed write.
int run_import(const transfer_options& options);

// One hour: no write of the CGI program takes that long, so a temporary older than this is
// left by a write that will never finish.
inline constexpr int64_t DEFAULT_CLEAN_AGE_SECONDS = 3600;

// Reads a duration: a whole number with an optional unit s, m, h or d (seconds by default).
// False for anything else, a negative number included, or one whose seconds overflow.
bool parse_duration(const char* text, int64_t* seconds);

struct clean_options {
    int64_t older_than_seconds = DEFAULT_CLEAN_AGE_SECONDS;
    bool is_dry_run = false;  // name what would go, remove nothing
};

// Removes the temporaries of interrupted writes (regular files whose names begin with
// TEMP_NAME_PREFIX in the directories of the kinds of file) last modified more than the given
// age ago, and nothing else. Names each removed file on standard output, then a summary.
// EXIT_SOUND, or EXIT_FAULTS when a directory could not be read or a file not removed.
int run_clean(const clean_options& options);

struct stats_options {
    bool is_json = false;  // one JSON object on one line instead of text
};

// Counts what the store holds: format_count and atom_count as the health report counts them,
// the atom value files, the bytes of each kind, the temporaries, and the space and inodes left
// on the store's file system.
// EXIT_SOUND, or EXIT_FAULTS when a directory could not be read.
int run_stats(const stats_options& options);

#endif  // VELTO_ADMIN_COMMANDS_H
