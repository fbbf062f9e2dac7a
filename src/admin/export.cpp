// export.cpp: the store written out as JSON Lines.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "admin/codes.h"
#include "admin/commands.h"
#include "admin/records.h"
#include "admin/walk.h"
#include "base/owners.h"
#include "store/files.h"
#include "store/layout.h"

namespace {

const char* why_unread(read_status status) {
    switch (status) {
        case read_status::not_regular:
            return "not a regular file";
        case read_status::too_large:
            return "larger than a file of its kind can be";
        default:
            return "cannot be read";
    }
}

class exporter final : public store_visitor {
  public:
    explicit exporter(std::FILE* out) : out_(out) {}

    void cannot_open(const file_kind_rules&, const char* path, int error) override {
        std::fprintf(stderr, "velto-admin export: cannot read %s: %s\n", path,
                     std::strerror(error));
        left_out_++;
    }

    void listing_failed(const file_kind_rules&, const char* path) override {
        std::fprintf(stderr, "velto-admin export: the listing of %s ended on a read error\n", path);
        left_out_++;
    }

    bool visit(const file_kind_rules& kind, int dir_fd, const char* name) override {
        if (is_temporary_name(name)) return true;
        if (!kind.is_name(name)) return leave_out(kind, name, "not a name of the store");
        struct stat status;
        const read_status result =
            read_store_entry(dir_fd, name, kind.size_limit, content_, &status);
        if (result == read_status::missing) return true;
        if (result != read_status::read) return leave_out(kind, name, why_unread(result));
        const content_problem problem = kind.check_content(name, content_.data(), content_.size());
        if (problem.fault != content_fault::none) return leave_out(kind, name, problem.detail);
        if (!write_record(out_, kind, name, content_.data(), content_.size())) return false;
        written_++;
        return true;
    }

    uint64_t written() const { return written_; }
    uint64_t left_out() const { return left_out_; }

  private:
    bool leave_out(const file_kind_rules& kind, const char* name, const char* why) {
        progress_meter::wipe();
        char path[PATH_BUFFER_SIZE];
        entry_path(path, kind.label, name);
        std::fprintf(stderr, "velto-admin export: left out %s: %s\n", path, why);
        left_out_++;
        return true;
    }

    std::FILE* out_;
    byte_buffer content_;
    uint64_t written_ = 0;
    uint64_t left_out_ = 0;
};

}  // namespace

int run_export(const transfer_options& options) {
    const bool is_to_file = options.file != nullptr && std::strcmp(options.file, "-") != 0;
    file_owner file(is_to_file ? std::fopen(options.file, "wb") : nullptr);
    if (is_to_file && !file) {
        std::fprintf(stderr, "velto-admin export: cannot create %s: %s\n", options.file,
                     std::strerror(errno));
        return EXIT_FAULTS;
    }
    std::FILE* out = is_to_file ? file.get() : stdout;

    exporter records(out);
    bool is_written = walk_store("export", records);
    // A backup is complete only once its bytes are on disk.
    is_written = is_written && std::fflush(out) == 0 && std::ferror(out) == 0;
    if (is_to_file) {
        is_written = ::fsync(::fileno(out)) == 0 && is_written;
        is_written = file.close() && is_written;
    }
    if (!is_written) {
        std::fprintf(stderr, "velto-admin export: cannot write %s\n",
                     is_to_file ? options.file : "standard output");
        if (is_to_file) ::unlink(options.file);
        return EXIT_FAULTS;
    }
    if (!options.is_quiet) {
        std::fprintf(stderr, "velto-admin export: %llu records",
                     static_cast<unsigned long long>(records.written()));
        if (records.left_out() > 0) {
            std::fprintf(stderr, ", %llu entries left out",
                         static_cast<unsigned long long>(records.left_out()));
        }
        std::fputc('\n', stderr);
    }
    return records.left_out() == 0 ? EXIT_SOUND : EXIT_FAULTS;
}
