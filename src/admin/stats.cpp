// stats.cpp: the store's figures.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "admin/codes.h"
#include "admin/commands.h"
#include "admin/walk.h"
#include "store/layout.h"
#include "store/store.h"

namespace {

constexpr std::size_t KIND_COUNT = sizeof FILE_KINDS / sizeof FILE_KINDS[0];

struct kind_figures {
    uint64_t visible_count = 0;  // as the health report counts
    uint64_t visible_bytes = 0;
};

class counter final : public store_visitor {
  public:
    void cannot_open(const file_kind_rules&, const char* path, int error) override {
        std::fprintf(stderr, "velto-admin stats: cannot read %s: %s\n", path, std::strerror(error));
        is_complete_ = false;
    }

    void listing_failed(const file_kind_rules&, const char* path) override {
        std::fprintf(stderr, "velto-admin stats: the listing of %s ended on a read error\n", path);
        is_complete_ = false;
    }

    bool visit(const file_kind_rules& kind, int dir_fd, const char* name) override {
        struct stat status;
        const bool has_status = ::fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0;
        const uint64_t size =
            has_status && status.st_size > 0 ? static_cast<uint64_t>(status.st_size) : 0;
        if (is_temporary_name(name)) {
            temporary_count_++;
            temporary_bytes_ += size;
        } else if (is_counted_name(name)) {
            kind_figures& figures = figures_[static_cast<std::size_t>(kind.kind)];
            figures.visible_count++;
            figures.visible_bytes += size;
        }
        return true;
    }

    const kind_figures& of(file_kind kind) const {
        return figures_[static_cast<std::size_t>(kind)];
    }
    uint64_t temporary_count() const { return temporary_count_; }
    uint64_t temporary_bytes() const { return temporary_bytes_; }
    bool is_complete() const { return is_complete_; }

  private:
    kind_figures figures_[KIND_COUNT];
    uint64_t temporary_count_ = 0;
    uint64_t temporary_bytes_ = 0;
    bool is_complete_ = true;
};

}  // namespace

int run_stats(const stats_options& options) {
    counter count;
    walk_store("stats", count);
    bool is_complete = count.is_complete();

    struct statvfs space;
    const bool has_space = ::statvfs(data_dir, &space) == 0;
    if (!has_space) {
        std::fprintf(stderr, "velto-admin stats: cannot query the file system of %s: %s\n",
                     data_dir, std::strerror(errno));
        is_complete = false;
    }
    struct figure {
        const char* name;
        uint64_t value;
        bool is_known;
    };
    const figure table[] = {
        {"format_count", count.of(file_kind::format).visible_count, true},
        {"atom_count", count.of(file_kind::atom).visible_count, true},
        {"atom_value_count", count.of(file_kind::atom_value).visible_count, true},
        {"format_bytes", count.of(file_kind::format).visible_bytes, true},
        {"atom_bytes", count.of(file_kind::atom).visible_bytes, true},
        {"atom_value_bytes", count.of(file_kind::atom_value).visible_bytes, true},
        {"temporary_count", count.temporary_count(), true},
        {"temporary_bytes", count.temporary_bytes(), true},
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
