// clean.cpp: removal of stale temporaries.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "admin/codes.h"
#include "admin/commands.h"
#include "admin/walk.h"
#include "store/layout.h"

namespace {

struct unit {
    char suffix;
    int64_t seconds;
};
constexpr unit DURATION_UNITS[] = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};

class cleaner final : public store_visitor {
  public:
    explicit cleaner(const clean_options& options) : options_(options) {}

    void cannot_open(const file_kind_rules&, const char* path, int error) override {
        // A missing directory holds no temporaries; any other failure hides some.
        if (error == ENOENT) return;
        std::fprintf(stderr, "velto-admin clean: cannot read %s: %s\n", path, std::strerror(error));
        is_complete_ = false;
    }

    void listing_failed(const file_kind_rules&, const char*) override { is_complete_ = false; }

    bool visit(const file_kind_rules& kind, int dir_fd, const char* name) override {
        if (!is_temporary_name(name)) return true;
        struct stat status;
        if (::fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return true;  // gone
        // Only regular files: the write routine makes nothing else under this prefix.
        if (!S_ISREG(status.st_mode)) return true;
        const int64_t age = age_seconds(status);
        if (age <= options_.older_than_seconds) {
            kept_count_++;
            return true;
        }
        char entry[PATH_BUFFER_SIZE];
        entry_path(entry, kind.label, name);
        if (!options_.is_dry_run && ::unlinkat(dir_fd, name, 0) != 0) {
            if (errno == ENOENT) return true;
            std::fprintf(stderr, "velto-admin clean: cannot remove %s: %s\n", entry,
                         std::strerror(errno));
            is_complete_ = false;
            return true;
        }
        progress_meter::wipe();
        std::printf("%s %s (%" PRId64 " s old)\n", options_.is_dry_run ? "would remove" : "removed",
                    entry, age);
        removed_count_++;
        removed_bytes_ += static_cast<uint64_t>(status.st_size);
        return true;
    }

    void summarise() const {
        std::printf("temporaries %s: %" PRIu64 " (%" PRIu64 " bytes); kept: %" PRIu64
                    " no older than %" PRId64 " s\n",
                    options_.is_dry_run ? "to remove" : "removed", removed_count_, removed_bytes_,
                    kept_count_, options_.older_than_seconds);
    }
    bool is_complete() const { return is_complete_; }

  private:
    const clean_options& options_;
    bool is_complete_ = true;
    uint64_t removed_count_ = 0;
    uint64_t removed_bytes_ = 0;
    uint64_t kept_count_ = 0;
};

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
    cleaner clean(options);
    walk_store("clean", clean);
    clean.summarise();
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return EXIT_FAULTS;
    return clean.is_complete() ? EXIT_SOUND : EXIT_FAULTS;
}
