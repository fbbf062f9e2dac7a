// export_store.cpp: the store written out as JSON Lines.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "admin/check.h"
#include "admin/records.h"
#include "admin/transfer.h"
#include "admin/walk.h"
#include "cgi/owners.h"
#include "store/store.h"

namespace {

void report_skipped(const char* label, const char* name, const char* why) {
    progress_meter::wipe();
    char path[PATH_BUFFER_SIZE];
    entry_path(path, label, name);
    std::fprintf(stderr, "velto-admin export: left out %s: %s\n", path, why);
}

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

struct export_counts {
    uint64_t written = 0;
    uint64_t left_out = 0;
};

// Writes the records of one directory; false when the output failed.
bool export_directory(std::size_t index, std::FILE* out, progress_meter& progress,
                      byte_buffer& content, export_counts& counts) {
    const store_directory& directory = FILE_DIRECTORIES[index];
    const record_kind kind = kind_of_directory(index);
    char path[PATH_BUFFER_SIZE];
    directory_scan scan(store_path(path, directory.path_template, data_dir) ? path : "");
    if (!scan) {
        std::fprintf(stderr, "velto-admin export: cannot read %s: %s\n", path,
                     std::strerror(errno));
        counts.left_out++;
        return true;
    }
    while (const char* name = scan.next()) {
        progress.step();
        if (is_temporary_name(name)) continue;
        if (!is_record_name(kind, name)) {
            report_skipped(directory.label, name, "not a name of the store");
            counts.left_out++;
            continue;
        }
        struct stat status;
        const read_status result =
            read_entry(scan.fd(), name, record_size_limit(kind), content, &status);
        if (result == read_status::missing) continue;
        if (result != read_status::read) {
            report_skipped(directory.label, name, why_unread(result));
            counts.left_out++;
            continue;
        }
        const rule_problem found = check_record(kind, name, content.data(), content.size());
        if (found.code != nullptr) {
            report_skipped(directory.label, name, found.detail);
            counts.left_out++;
            continue;
        }
        if (!write_record(out, kind, name, content.data(), content.size())) return false;
        counts.written++;
    }
    if (scan.failed()) {
        std::fprintf(stderr, "velto-admin export: the listing of %s ended on a read error\n", path);
        counts.left_out++;
    }
    return true;
}

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

    progress_meter progress;
    uint64_t total = 0;
    char path[PATH_BUFFER_SIZE];
    if (progress_meter::is_enabled()) {
        for (const store_directory& directory : FILE_DIRECTORIES) {
            if (store_path(path, directory.path_template, data_dir)) total += count_entries(path);
        }
    }
    progress.begin("export", total);
    byte_buffer content;
    export_counts counts;
    bool is_written = true;
    for (std::size_t i = 0; i < sizeof FILE_DIRECTORIES / sizeof FILE_DIRECTORIES[0] && is_written;
         i++) {
        is_written = export_directory(i, out, progress, content, counts);
    }
    progress.finish();

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
                     static_cast<unsigned long long>(counts.written));
        if (counts.left_out > 0) {
            std::fprintf(stderr, ", %llu entries left out",
                         static_cast<unsigned long long>(counts.left_out));
        }
        std::fputc('\n', stderr);
    }
    return counts.left_out == 0 ? EXIT_SOUND : EXIT_FAULTS;
}
