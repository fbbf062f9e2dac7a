// import.cpp: records read back into the store, all checked before any is written.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "admin/codes.h"
#include "admin/commands.h"
#include "admin/records.h"
#include "admin/walk.h"
#include "base/owners.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/store.h"

namespace {

struct import_counts {
    uint64_t records = 0;
    uint64_t written = 0;
    uint64_t unchanged = 0;
};

// Parses and checks every line of `reader`. False, with the line named on standard error, at the
// first bad one or when the input cannot be read.
bool validate_all(record_reader& reader, const char* source, uint64_t* record_count) {
    byte_buffer content;
    store_record record;
    char why[DETAIL_SIZE];
    for (;;) {
        switch (reader.next(&record, content, why)) {
            case record_reader::outcome::record:
                continue;
            case record_reader::outcome::end:
                *record_count = reader.line_number();
                return true;
            case record_reader::outcome::bad_record:
                std::fprintf(stderr, "velto-admin import: %s:%llu: %s; nothing was imported\n",
                             source, static_cast<unsigned long long>(reader.line_number()), why);
                return false;
            case record_reader::outcome::spool_failed:
                std::fprintf(stderr, "velto-admin import: cannot keep a copy of %s: %s\n", source,
                             std::strerror(errno));
                return false;
            case record_reader::outcome::read_failed:
                std::fprintf(stderr, "velto-admin import: cannot read %s; nothing was imported\n",
                             source);
                return false;
        }
    }
}

// The tree must be there, and made of directories (not links), before the first record is
// written.
bool prepare_tree() {
    ensure_store_dirs();
    for (const file_kind_rules& kind : FILE_KINDS) {
        if (!open_store_directory(kind.kind)) {
            std::fprintf(
                stderr, "velto-admin import: the store has no usable %s/%s; nothing was imported\n",
                data_dir, kind.label);
            return false;
        }
    }
    return true;
}

// True when the file `name` of the directory open as `dir_fd` already holds exactly these
// bytes: rewriting it would only cost a flush to disk.
bool holds_same_bytes(int dir_fd, const char* name, const byte_buffer& content,
                      byte_buffer& scratch) {
    struct stat status;
    if (read_store_entry(dir_fd, name, content.size(), scratch, &status) != read_status::read)
        return false;
    return scratch.size() == content.size() &&
           std::memcmp(scratch.data(), content.data(), content.size()) == 0;
}

bool write_all(record_reader& reader, const char* source, progress_meter& progress,
               import_counts& counts) {
    fd_owner directories[sizeof FILE_KINDS / sizeof FILE_KINDS[0]];
    for (const file_kind_rules& kind : FILE_KINDS) {
        directories[static_cast<std::size_t>(kind.kind)] = open_store_directory(kind.kind);
    }
    byte_buffer content;
    byte_buffer scratch;
    store_record record;
    char why[DETAIL_SIZE];
    for (;;) {
        const record_reader::outcome read = reader.next(&record, content, why);
        if (read == record_reader::outcome::end) return true;
        const auto line_number = static_cast<unsigned long long>(reader.line_number());
        if (read != record_reader::outcome::record) {
            if (read == record_reader::outcome::bad_record) {
                std::fprintf(stderr,
                             "velto-admin import: %s:%llu changed while it was imported: %s\n",
                             source, line_number, why);
            } else {
                std::fprintf(stderr, "velto-admin import: cannot read %s a second time\n", source);
            }
            return false;
        }
        progress.step();
        const file_kind_rules& kind = *record.kind;
        const int dir_fd = directories[static_cast<std::size_t>(kind.kind)].get();
        if (holds_same_bytes(dir_fd, record.name, content, scratch)) {
            counts.unchanged++;
            continue;
        }
        const std::string_view bytes(reinterpret_cast<const char*>(content.data()), content.size());
        const write_result result = store_file(kind.kind, record.name, bytes);
        char path[PATH_BUFFER_SIZE];
        entry_path(path, kind.label, record.name);
        if (result == write_result::failed) {
            std::fprintf(stderr, "velto-admin import: %s:%llu: cannot write %s\n", source,
                         line_number, path);
            return false;
        }
        if (result == write_result::already_present) {
            // The first stored copy of a format always stays; one that differs is a fault of
            // that file, which check names.
            std::fprintf(stderr,
                         "velto-admin import: %s:%llu: kept %s, which differs from the record\n",
                         source, line_number, path);
        }
        (result == write_result::written ? counts.written : counts.unchanged)++;
    }
}

}  // namespace

int run_import(const transfer_options& options) {
    const bool is_from_file = options.file != nullptr && std::strcmp(options.file, "-") != 0;
    const char* source = is_from_file ? options.file : "standard input";
    file_owner file(is_from_file ? std::fopen(options.file, "rb") : nullptr);
    if (is_from_file && !file) {
        std::fprintf(stderr, "velto-admin import: cannot open %s: %s\n", options.file,
                     std::strerror(errno));
        return EXIT_FAULTS;
    }
    std::FILE* in = is_from_file ? file.get() : stdin;

    // Input that cannot be read twice (a pipe) is kept in an unnamed temporary file while it is
    // checked, so the records are never all held in memory.
    const bool is_seekable = ::lseek(::fileno(in), 0, SEEK_CUR) >= 0;
    file_owner spool(is_seekable ? nullptr : std::tmpfile());
    if (!is_seekable && !spool) {
        std::fprintf(stderr, "velto-admin import: cannot create a temporary file: %s\n",
                     std::strerror(errno));
        return EXIT_FAULTS;
    }
    const long start = is_seekable ? std::ftell(in) : 0;
    import_counts counts;
    {
        record_reader first_pass(in, spool.get());
        if (!validate_all(first_pass, source, &counts.records)) return EXIT_FAULTS;
    }
    std::FILE* again = is_seekable ? in : spool.get();
    // fseek drops what is buffered for reading and writes out what is buffered for writing.
    if ((spool && std::fflush(spool.get()) != 0) || std::fseek(again, start, SEEK_SET) != 0) {
        std::fprintf(stderr,
                     "velto-admin import: cannot read %s a second time; nothing was imported\n",
                     source);
        return EXIT_FAULTS;
    }
    if (!prepare_tree()) return EXIT_FAULTS;

    progress_meter progress;
    progress.begin("import", counts.records);
    record_reader second_pass(again);
    const bool is_done = write_all(second_pass, source, progress, counts);
    progress.finish();
    if (!options.is_quiet || !is_done) {
        std::fprintf(stderr,
                     "velto-admin import: %" PRIu64 " of %" PRIu64 " records stored: %" PRIu64
                     " written, %" PRIu64 " already there\n",
                     counts.written + counts.unchanged, counts.records, counts.written,
                     counts.unchanged);
    }
    return is_done ? EXIT_SOUND : EXIT_FAULTS;
}
