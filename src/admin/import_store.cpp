// import_store.cpp: records read back into the store, all checked before any is written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "admin/check.h"
#include "admin/records.h"
#include "admin/transfer.h"
#include "admin/walk.h"
#include "cgi/owners.h"
#include "store/store.h"
#include "store/write_file.h"

namespace {

// Owns getline's block, which getline grows with realloc and which is released with free.
class line_reader {
  public:
    line_reader() = default;
    line_reader(const line_reader&) = delete;
    line_reader& operator=(const line_reader&) = delete;
    ~line_reader() { std::free(line_); }

    // The length of the next line, its line feed included; -1 at the end or on a read error.
    ssize_t next(std::FILE* in) { return ::getline(&line_, &capacity_, in); }
    char* line() const { return line_; }

  private:
    char* line_ = nullptr;
    std::size_t capacity_ = 0;
};

struct import_counts {
    uint64_t records = 0;
    uint64_t written = 0;
    uint64_t unchanged = 0;
};

// True when the file at `path` already holds exactly these bytes: rewriting it would only
// cost a flush to disk.
bool holds_same_bytes(const char* path, const byte_buffer& content, byte_buffer& scratch) {
    struct stat status;
    if (read_entry(AT_FDCWD, path, content.size(), scratch, &status) != read_status::read)
        return false;
    return scratch.size() == content.size() &&
           std::memcmp(scratch.data(), content.data(), content.size()) == 0;
}

// Parses and checks every line of `in`, copying each to `spool` when there is one. False, with
// the line named on standard error, at the first bad one.
bool validate_all(std::FILE* in, std::FILE* spool, const char* source, uint64_t* record_count) {
    line_reader reader;
    byte_buffer content;
    store_record record;
    char why[DETAIL_SIZE];
    uint64_t line_number = 0;
    for (ssize_t length; (length = reader.next(in)) >= 0;) {
        line_number++;
        if (spool != nullptr && std::fwrite(reader.line(), 1, static_cast<std::size_t>(length),
                                            spool) != static_cast<std::size_t>(length)) {
            std::fprintf(stderr, "velto-admin import: cannot keep a copy of %s: %s\n", source,
                         std::strerror(errno));
            return false;
        }
        if (!parse_record(reader.line(), static_cast<std::size_t>(length), &record, content, why)) {
            std::fprintf(stderr, "velto-admin import: %s:%llu: %s; nothing was imported\n", source,
                         static_cast<unsigned long long>(line_number), why);
            return false;
        }
    }
    if (std::ferror(in)) {
        std::fprintf(stderr, "velto-admin import: cannot read %s; nothing was imported\n", source);
        return false;
    }
    *record_count = line_number;
    return true;
}

// The tree must be there, and made of directories, before the first record is written.
bool prepare_tree() {
    ensure_store_dirs();
    for (const store_directory& directory : FILE_DIRECTORIES) {
        char path[PATH_BUFFER_SIZE];
        struct stat status;
        if (!store_path(path, directory.path_template, data_dir) || ::stat(path, &status) != 0 ||
            !S_ISDIR(status.st_mode)) {
            std::fprintf(
                stderr, "velto-admin import: the store has no usable %s/%s; nothing was imported\n",
                data_dir, directory.label);
            return false;
        }
    }
    return true;
}

bool write_all(std::FILE* in, const char* source, progress_meter& progress, import_counts& counts) {
    line_reader reader;
    byte_buffer content;
    byte_buffer scratch;
    store_record record;
    char why[DETAIL_SIZE];
    uint64_t line_number = 0;
    for (ssize_t length; (length = reader.next(in)) >= 0;) {
        line_number++;
        progress.step();
        if (!parse_record(reader.line(), static_cast<std::size_t>(length), &record, content, why)) {
            std::fprintf(stderr, "velto-admin import: %s:%llu changed while it was imported: %s\n",
                         source, static_cast<unsigned long long>(line_number), why);
            return false;
        }
        char path[PATH_BUFFER_SIZE];
        if (!record_path(record, path)) {
            std::fprintf(stderr, "velto-admin import: %s:%llu: the file's path would not fit\n",
                         source, static_cast<unsigned long long>(line_number));
            return false;
        }
        const bool is_format = record.kind == record_kind::format;
        if (holds_same_bytes(path, content, scratch)) {
            counts.unchanged++;
            continue;
        }
        const std::string_view bytes(reinterpret_cast<const char*>(content.data()), content.size());
        const write_result result = write_store_file(
            path, {bytes}, is_format ? write_mode::create_only : write_mode::replace);
        if (result == write_result::failed) {
            std::fprintf(stderr, "velto-admin import: %s:%llu: cannot write %s\n", source,
                         static_cast<unsigned long long>(line_number), path);
            return false;
        }
        if (result == write_result::already_present) {
            // The first stored copy of a format always stays; one that differs is a fault of
            // that file, which check names.
            std::fprintf(stderr,
                         "velto-admin import: %s:%llu: kept %s, which differs from the record\n",
                         source, static_cast<unsigned long long>(line_number), path);
        }
        (result == write_result::written ? counts.written : counts.unchanged)++;
    }
    if (std::ferror(in)) {
        std::fprintf(stderr, "velto-admin import: cannot read %s a second time\n", source);
        return false;
    }
    return true;
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
    if (!validate_all(in, spool.get(), source, &counts.records)) return EXIT_FAULTS;
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
    const bool is_done = write_all(again, source, progress, counts);
    progress.finish();
    if (!options.is_quiet || !is_done) {
        std::fprintf(
            stderr,
            "velto-admin import: %llu of %llu records stored: %llu written, %llu already there\n",
            static_cast<unsigned long long>(counts.written + counts.unchanged),
            static_cast<unsigned long long>(counts.records),
            static_cast<unsigned long long>(counts.written),
            static_cast<unsigned long long>(counts.unchanged));
    }
    return is_done ? EXIT_SOUND : EXIT_FAULTS;
}
