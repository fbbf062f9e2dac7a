// upkeep.h: velto-admin clean and stats.
#ifndef VELTO_ADMIN_UPKEEP_H
#define VELTO_ADMIN_UPKEEP_H

#include <cstdint>

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
// TEMP_NAME_PREFIX in formats, atoms/s and atoms/v) last modified more than the given age ago,
// and nothing else. Names each removed file on standard output, then a summary.
// EXIT_SOUND, or EXIT_FAULTS when a directory could not be read or a file not removed.
int run_clean(const clean_options& options);

struct stats_options {
    bool is_json = false;  // one JSON object on one line instead of text
};

// Counts what the store holds: format_count and atom_count as the health report counts them
// (entries whose names do not begin with '.'), the atom value files, the bytes of each kind,
// the temporaries, and the space and inodes left on the store's file system.
// EXIT_SOUND, or EXIT_FAULTS when a directory could not be read.
int run_stats(const stats_options& options);

#endif  // VELTO_ADMIN_UPKEEP_H
