// main.cpp: velto-admin, the operator's tool for a velto store: check, clean, export, import
// and stats over the tree that the CGI program keeps below its data directory.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "admin/codes.h"
#include "admin/commands.h"
#include "admin/walk.h"
#include "store/store.h"

namespace {

constexpr char USAGE[] =
    "usage: velto-admin [--data-dir DIR] [--quiet] COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  check [--json] [--user NAME]   report what is wrong in the store; exit 1 on faults\n"
    "  clean [--older-than DURATION]  remove temporaries of interrupted writes (default 1h)\n"
    "  export [FILE]                  write the store as JSON Lines (default: standard output)\n"
    "  import [FILE]                  store JSON Lines records (default: standard input)\n"
    "  stats [--json]                 counts, sizes, temporaries, free space and inodes\n"
    "\n"
    "Options of every command:\n"
    "  --data-dir DIR  the store (default: $VELTO_DATA_DIR, else /tmp/velto_data)\n"
    "  --quiet         no progress bar, no summary on standard error\n"
    "  --help          this text, or a command's own with COMMAND --help\n"
    "\n"
    "Exit status: 0 success or a sound store, 1 faults or failures, 2 usage errors.\n"
    "See velto-admin(1).\n";

constexpr char CHECK_HELP[] =
    "usage: velto-admin check [--json] [--user NAME] [--data-dir DIR] [--quiet]\n"
    "\n"
    "Walks the whole store and reports, one line each with its path: faults (a missing or\n"
    "misplaced directory of the tree; a format file that is empty, cut, foreign or misnamed;\n"
    "an atom file or atom value file with junk or an out-of-range number; a directory or\n"
    "other non-file where a file belongs), warnings (an atom file whose atom value file is\n"
    "missing, which a failed or interrupted registration leaves) and notes (stale mappings\n"
    "between the two directions, temporaries with their age, which are by design), then a\n"
    "summary. Reads only.\n"
    "\n"
    "Every entry is also held against the user the server runs as: an entry owned by another\n"
    "user is a warning, a directory it cannot write or a file it cannot read a fault. Links,\n"
    "named pipes and devices are reported wherever they are.\n"
    "\n"
    "  --user NAME  the server's user (default: the owner of the data directory)\n"
    "  --json  one JSON object per line: level, code, path, detail (age_seconds for\n"
    "          temporaries), and a last line with level \"summary\"\n"
    "\n"
    "Exit status: 0 no fault, 1 faults found, 2 usage error.\n";

constexpr char CLEAN_HELP[] =
    "usage: velto-admin clean [--older-than DURATION] [--dry-run] [--data-dir DIR] [--quiet]\n"
    "\n"
    "Removes the temporary files (names beginning with \".velto~\") that interrupted writes\n"
    "left in formats, atoms/s and atoms/v, when they were last changed more than DURATION\n"
    "ago, and nothing else. Names each removed file, then a summary.\n"
    "\n"
    "  --older-than DURATION  a whole number with s, m, h or d (default 1h); a write in\n"
    "                         progress is younger, so it is never touched\n"
    "  --dry-run              name what would be removed, remove nothing\n"
    "\n"
    "Exit status: 0 done, 1 a file could not be removed or a directory read, 2 usage error.\n";

constexpr char EXPORT_HELP[] =
    "usage: velto-admin export [FILE] [--data-dir DIR] [--quiet]\n"
    "\n"
    "Writes every format file, atom file and atom value file as one JSON Lines record:\n"
    "  {\"kind\":\"format\"|\"atom\"|\"atom_value\",\"name\":\"<file name>\",\"hex\":\"<bytes>\"}\n"
    "to FILE (flushed to disk before success) or standard output (FILE absent or \"-\").\n"
    "Files that check calls faults are left out and named on standard error.\n"
    "\n"
    "Exit status: 0 every file exported, 1 some left out or the output failed, 2 usage error.\n";

constexpr char IMPORT_HELP[] =
    "usage: velto-admin import [FILE] [--data-dir DIR] [--quiet]\n"
    "\n"
    "Reads records as export writes them from FILE or standard input (FILE absent or \"-\")\n"
    "and stores them through the store's own write routine: format files only when absent,\n"
    "atom files and atom value files replaced. Every record is checked first; a bad one is\n"
    "named by its line number and nothing is written. Restores a backup into a fresh store,\n"
    "or merges one store into another.\n"
    "\n"
    "Exit status: 0 imported, 1 bad input or a failed write, 2 usage error.\n";

constexpr char STATS_HELP[] =
    "usage: velto-admin stats [--json] [--data-dir DIR] [--quiet]\n"
    "\n"
    "Prints format_count and atom_count as the health report counts them, atom_value_count,\n"
    "the bytes of each kind of file, the temporaries, and the free and total bytes and inodes\n"
    "of the store's file system.\n"
    "\n"
    "  --json  one JSON object on one line\n"
    "\n"
    "Exit status: 0 done, 1 a directory could not be read, 2 usage error.\n";

enum class command { none, check, clean, export_store, import_store, stats };

struct command_entry {
    const char* name;
    command which;
    const char* help;
};
constexpr command_entry COMMANDS[] = {
    {"check", command::check, CHECK_HELP},          {"clean", command::clean, CLEAN_HELP},
    {"export", command::export_store, EXPORT_HELP}, {"import", command::import_store, IMPORT_HELP},
    {"stats", command::stats, STATS_HELP},
};

struct arguments {
    const command_entry* command = nullptr;
    const char* data_dir = nullptr;
    const char* file = nullptr;
    const char* older_than = nullptr;
    const char* user = nullptr;
    bool is_quiet = false;
    bool is_json = false;
    bool is_dry_run = false;
    bool wants_help = false;
};

int usage_error(const char* format, const char* detail) {
    std::fputs("velto-admin: ", stderr);
    std::fprintf(stderr, format, detail);
    std::fputs("\nTry 'velto-admin --help'.\n", stderr);
    return EXIT_USAGE;
}

// The value of an option given as "--name VALUE" or "--name=VALUE"; null when `arg` is not
// that option. Moves *index past a separate value.
const char* option_value(int argc, char** argv, int* index, const char* name, bool* is_missing) {
    const char* arg = argv[*index];
    if (arg == nullptr) return nullptr;
    const std::size_t length = std::strlen(name);
    if (std::strncmp(arg, name, length) != 0) return nullptr;
    if (arg[length] == '=') return arg + length + 1;
    if (arg[length] != '\0') return nullptr;
    if (*index + 1 >= argc) {
        *is_missing = true;
        return nullptr;
    }
    return argv[++*index];
}

// EXIT_SOUND when the arguments were understood.
int parse_arguments(int argc, char** argv, arguments* out) {
    bool is_past_options = false;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        bool is_missing = false;
        if (!is_past_options && arg[0] == '-' && arg[1] != '\0') {
            if (std::strcmp(arg, "--") == 0) {
                is_past_options = true;
            } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
                out->wants_help = true;
            } else if (std::strcmp(arg, "--quiet") == 0 || std::strcmp(arg, "-q") == 0) {
                out->is_quiet = true;
            } else if (std::strcmp(arg, "--json") == 0) {
                out->is_json = true;
            } else if (std::strcmp(arg, "--dry-run") == 0) {
                out->is_dry_run = true;
            } else if (const char* value =
                           option_value(argc, argv, &i, "--data-dir", &is_missing)) {
                out->data_dir = value;
            } else if (const char* value =
                           option_value(argc, argv, &i, "--older-than", &is_missing)) {
                out->older_than = value;
            } else if (const char* value = option_value(argc, argv, &i, "--user", &is_missing)) {
                out->user = value;
            } else if (is_missing) {
                return usage_error("option %s needs a value", arg);
            } else {
                return usage_error("unknown option %s", arg);
            }
            continue;
        }
        if (out->command == nullptr) {
            for (const command_entry& entry : COMMANDS) {
                if (std::strcmp(arg, entry.name) == 0) out->command = &entry;
            }
            if (out->command == nullptr) return usage_error("unknown command %s", arg);
        } else if (out->file == nullptr && (out->command->which == command::export_store ||
                                            out->command->which == command::import_store)) {
            out->file = arg;
        } else {
            return usage_error("unexpected argument %s", arg);
        }
    }
    if (out->wants_help) return EXIT_SOUND;
    if (out->command == nullptr) return usage_error("%s", "a command is needed");
    const command which = out->command->which;
    if (out->is_json && which != command::check && which != command::stats) {
        return usage_error("--json is an option of check and stats, not of %s", out->command->name);
    }
    if (out->user != nullptr && which != command::check) {
        return usage_error("--user is an option of check, not of %s", out->command->name);
    }
    if ((out->older_than != nullptr || out->is_dry_run) && which != command::clean) {
        return usage_error("--older-than and --dry-run are options of clean, not of %s",
                           out->command->name);
    }
    if (out->data_dir != nullptr && out->data_dir[0] == '\0') {
        return usage_error("%s", "--data-dir needs a directory");
    }
    return EXIT_SOUND;
}

}  // namespace

int main(int argc, char** argv) {
    // A closed pipe (export | head) must make writes fail, not end the process mid-file.
    std::signal(SIGPIPE, SIG_IGN);

    arguments args;
    const int parsed = parse_arguments(argc, argv, &args);
    if (parsed != EXIT_SOUND) return parsed;
    if (args.wants_help) {
        std::fputs(args.command != nullptr ? args.command->help : USAGE, stdout);
        return std::fflush(stdout) == 0 ? EXIT_SOUND : EXIT_FAULTS;
    }

    // The same store as the CGI program's: --data-dir, else VELTO_DATA_DIR, else the default.
    if (args.data_dir != nullptr) {
        data_dir = args.data_dir;
    } else if (const char* dir = std::getenv("VELTO_DATA_DIR")) {
        data_dir = dir;
    }
    progress_meter::enable(!args.is_quiet && ::isatty(STDERR_FILENO) == 1);
    // Run as root, what the tool creates gets the store's owner: a root-owned directory or file
    // in a store that the server writes as its own user would fail every later registration.
    struct stat root_status;
    if (::geteuid() == 0 && ::stat(data_dir, &root_status) == 0 && root_status.st_uid != 0) {
        set_store_owner(root_status.st_uid, root_status.st_gid);
    }

    switch (args.command->which) {
        case command::check:
            return run_check({args.is_json, args.user});
        case command::clean: {
            clean_options options;
            options.is_dry_run = args.is_dry_run;
            if (args.older_than != nullptr &&
                !parse_duration(args.older_than, &options.older_than_seconds)) {
                return usage_error("bad duration %s (a whole number with s, m, h or d)",
                                   args.older_than);
            }
            return run_clean(options);
        }
        case command::export_store:
            return run_export({args.file, args.is_quiet});
        case command::import_store:
            return run_import({args.file, args.is_quiet});
        case command::stats:
            return run_stats({args.is_json});
        case command::none:
            break;
    }
    return EXIT_USAGE;
}
