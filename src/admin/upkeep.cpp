// upkeep.cpp: removal of stale temporaries, and the store's figures.
#include "admin/upkeep.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "admin/check.h"
#include "admin/rules.h"
#include "admin/walk.h"
#include "store/store.h"

namespace {

struct unit {
    char suffix;
    int64_t seconds;
};
constexpr unit DURATION_UNITS[] = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};

struct directory_figures {
    uint64_t visible_count = 0;  // as the health report counts
    uint64_t visible_bytes = 0;
    uint64_t temporary_count = 0;
    uint64_t temporary_bytes = 0;
};

// False when the directory could not be read to its end.
bool count_directory(const store_directory& directory, progress_meter& progress,
                     directory_figures* figures) {
    char path[PATH_BUFFER_SIZE];
    if (!store_path(path, directory.path_template, data_dir)) return false;
    directory_scan scan(path);
    if (!scan) {
        std::fprintf(stderr, "velto-admin stats: cannot read %s: %s\n", path, std::strerror(errno));
        return false;
    }
    while (const char* name = scan.next()) {
        progress.step();
        struct stat status;
        const bool has_status = ::fstatat(scan.fd(), name, &status, AT_SYMLINK_NOFOLLOW) == 0;
        const uint64_t size =
            has_status && status.st_size > 0 ? static_cast<uint64_t>(status.st_size) : 0;
        if (is_temporary_name(name)) {
            figures->temporary_count++;
            figures->temporary_bytes += size;
        } else if (name[0] != '.') {
            figures->visible_count++;
            figures->visible_bytes += size;
        }
    }
    if (scan.failed()) {
        std::fprintf(stderr, "velto-admin stats: the listing of %s ended on a read error\n", path);
        return false;
    }
    return true;
}

}  // namespace

bool parse_duration(const char* text, int64_t* seconds) {
    int64_t value = 0;
    const char* at = text;
    if (*at < '0' || *at > '9') return false;
    for (; *at >= '0' && *at <= '9'; at++) {
        if (value > (INT64_MAX - 9) / 10) return false;
        value = value * 10 + (*at - '0');
    }
    int64_t scale = 1;
    if (*at != '\0') {
        scale = 0;
        for (const unit& candidate : DURATION_UNITS) {
            if (*at == candidate.suffix && at[1] == '\0') scale = candidate.seconds;
        }
        if (scale == 0) return false;
    }
    if (value > INT64_MAX / scale) return false;
    *seconds = value * scale;
    return true;
}

int run_clean(const clean_options& options) {
    bool is_complete = true;
    uint64_t removed_count = 0, removed_bytes = 0, kept_count = 0;
    progress_meter progress;
    progress.begin("clean", 0);
    for (const store_directory& directory : FILE_DIRECTORIES) {
        char path[PATH_BUFFER_SIZE];
        if (!store_path(path, directory.path_template, data_dir)) continue;
        directory_scan scan(path);
        if (!scan) {
            // A missing directory holds no temporaries; any other failure hides some.
            if (errno != ENOENT) {
                std::fprintf(stderr, "velto-admin clean: cannot read %s: %s\n", path,
                             std::strerror(errno));
                is_complete = false;
            }
            continue;
        }
        while (const char* name = scan.next()) {
            progress.step();
            if (!is_temporary_name(name)) continue;
            struct stat status;
            if (::fstatat(scan.fd(), name, &status, AT_SYMLINK_NOFOLLOW) != 0)
                continue;  // gone already
            // Only regular files: the write routine makes nothing else under this prefix.
            if (!S_ISREG(status.st_mode)) continue;
            const int64_t age = age_seconds(status);
            if (age <= options.older_than_seconds) {
                kept_count++;
                continue;
            }
            char entry[PATH_BUFFER_SIZE];
            entry_path(entry, directory.label, name);
            if (!options.is_dry_run && ::unlinkat(scan.fd(), name, 0) != 0) {
                if (errno == ENOENT) continue;
                std::fprintf(stderr, "velto-admin clean: cannot remove %s: %s\n", entry,
                             std::strerror(errno));
                is_complete = false;
                continue;
            }
            progress_meter::wipe();
            std::printf("%s %s (%" PRId64 " s old)\n",
                        options.is_dry_run ? "would remove" : "removed", entry, age);
            removed_count++;
            removed_bytes += static_cast<uint64_t>(status.st_size);
        }
        if (scan.failed()) is_complete = false;
    }
    progress.finish();
    std::printf("temporaries %s: %" PRIu64 " (%" PRIu64 " bytes); kept: %" PRIu64
                " no older than %" PRId64 " s\n",
                options.is_dry_run ? "to remove" : "removed", removed_count, removed_bytes,
                kept_count, options.older_than_seconds);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return EXIT_FAULTS;
    return is_complete ? EXIT_SOUND : EXIT_FAULTS;
}

int run_stats(const stats_options& options) {
    directory_figures figures[3];
    bool is_complete = true;
    progress_meter progress;
    progress.begin("stats", 0);
    for (std::size_t i = 0; i < 3; i++) {
        is_complete = count_directory(FILE_DIRECTORIES[i], progress, &figures[i]) && is_complete;
    }
    progress.finish();

    struct statvfs space;
    const bool has_space = ::statvfs(data_dir, &space) == 0;
    if (!has_space) {
        std::fprintf(stderr, "velto-admin stats: cannot query the file system of %s: %s\n",
                     data_dir, std::strerror(errno));
        is_complete = false;
    }
    const uint64_t temporary_count =
        figures[0].temporary_count + figures[1].temporary_count + figures[2].temporary_count;
    const uint64_t temporary_bytes =
        figures[0].temporary_bytes + figures[1].temporary_bytes + figures[2].temporary_bytes;
    struct figure {
        const char* name;
        uint64_t value;
        bool is_known;
    };
    const figure table[] = {
        {"format_count", figures[0].visible_count, true},
        {"atom_count", figures[1].visible_count, true},
        {"atom_value_count", figures[2].visible_count, true},
        {"format_bytes", figures[0].visible_bytes, true},
        {"atom_bytes", figures[1].visible_bytes, true},
        {"atom_value_bytes", figures[2].visible_bytes, true},
        {"temporary_count", temporary_count, true},
        {"temporary_bytes", temporary_bytes, true},
        {"free_bytes", has_space ? static_cast<uint64_t>(space.f_bavail) * space.f_frsize : 0,
         has_space},
        {"total_bytes", has_space ? static_cast<uint64_t>(space.f_blocks) * space.f_frsize : 0,
         has_space},
        {"free_inodes", has_space ? static_cast<uint64_t>(space.f_favail) : 0, has_space},
        {"total_inodes", has_space ? static_cast<uint64_t>(space.f_files) : 0, has_space},
    };
    if (options.is_json) {
        std::fputs("{\"path\":", stdout);
        put_json_string(stdout, data_dir);
        for (const figure& shown : table) {
            if (shown.is_known) std::printf(",\"%s\":%" PRIu64, shown.name, shown.value);
        }
        std::fputs("}\n", stdout);
    } else {
        std::printf("%-18s %s\n", "path", data_dir);
        for (const figure& shown : table) {
            if (shown.is_known) std::printf("%-18s %" PRIu64 "\n", shown.name, shown.value);
        }
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return EXIT_FAULTS;
    return is_complete ? EXIT_SOUND : EXIT_FAULTS;
}
