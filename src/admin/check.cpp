// check.cpp: the soundness report.
#include "admin/check.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "admin/rules.h"
#include "admin/walk.h"
#include "cgi/codecs.h"
#include "cgi/owners.h"
#include "store/store.h"

namespace {

enum class level { fault, warning, note };
constexpr const char* LEVEL_NAMES[] = {"fault", "warning", "note"};

class findings {
  public:
    explicit findings(bool is_json) : is_json_(is_json) {}

    // `age` is the age in seconds of a temporary, -1 for every other finding.
    void add(level at, const char* code, const char* path, const char* detail, int64_t age = -1) {
        counts_[static_cast<int>(at)]++;
        progress_meter::wipe();
        if (is_json_) {
            std::printf("{\"level\":\"%s\",\"code\":\"%s\",\"path\":",
                        LEVEL_NAMES[static_cast<int>(at)], code);
            put_json_string(stdout, path);
            std::fputs(",\"detail\":", stdout);
            put_json_string(stdout, detail);
            if (age >= 0) std::printf(",\"age_seconds\":%" PRId64, age);
            std::fputs("}\n", stdout);
        } else {
            std::printf("%s: %s: %s: %s\n", LEVEL_NAMES[static_cast<int>(at)], path, code, detail);
        }
    }
    void add_entry(level at, const char* code, const char* label, const char* name,
                   const char* detail, int64_t age = -1) {
        char path[PATH_BUFFER_SIZE];
        entry_path(path, label, name);
        add(at, code, path, detail, age);
    }
    void count_file() { files_++; }
    uint64_t fault_count() const { return counts_[0]; }

    void summarise() const {
        if (is_json_) {
            std::fputs("{\"level\":\"summary\",\"path\":", stdout);
            put_json_string(stdout, data_dir);
            std::printf(",\"faults\":%" PRIu64 ",\"warnings\":%" PRIu64 ",\"notes\":%" PRIu64
                        ",\"files\":%" PRIu64 "}\n",
                        counts_[0], counts_[1], counts_[2], files_);
        } else {
            std::printf("%s: %" PRIu64 " faults, %" PRIu64 " warnings, %" PRIu64
                        " notes in %" PRIu64 " files\n",
                        data_dir, counts_[0], counts_[1], counts_[2], files_);
        }
    }

  private:
    bool is_json_;
    uint64_t counts_[3] = {0, 0, 0};
    uint64_t files_ = 0;
};

// State of one run: the findings, the directories of both atom maps open for the look across,
// and two buffers reused for every file.
struct check_run {
    findings& found;
    int strings_fd;  // atoms/s, or -1
    int values_fd;   // atoms/v, or -1
    byte_buffer content;
    byte_buffer other;
};

struct tree_part {
    const char* path_template;  // null for data_dir itself
    const char* name;
};
constexpr tree_part TREE[] = {
    {nullptr, ""},
    {PATH_FORMATS, "formats"},
    {PATH_ATOMS, "atoms"},
    {PATH_ATOM_STRINGS, "atoms/s"},
    {PATH_ATOM_VALUES, "atoms/v"},
};

bool form_tree_path(char (&out)[PATH_BUFFER_SIZE], const tree_part& part) {
    if (part.path_template == nullptr) return format_into(out, sizeof out, "%s", data_dir);
    return store_path(out, part.path_template, data_dir);
}

// Each directory of the tree present and a directory; a symbolic link to one serves as one.
void check_tree(findings& found) {
    for (const tree_part& part : TREE) {
        char path[PATH_BUFFER_SIZE];
        if (!form_tree_path(path, part)) {
            found.add(level::fault, "path_too_long", data_dir, "the store's paths would not fit");
            return;
        }
        struct stat status;
        if (::stat(path, &status) != 0) {
            found.add(level::fault, "missing_directory", path,
                      errno == ENOENT ? "missing" : std::strerror(errno));
        } else if (!S_ISDIR(status.st_mode)) {
            char detail[DETAIL_SIZE];
            std::snprintf(detail, sizeof detail, "%s, where a directory belongs",
                          kind_of_entry(status.st_mode));
            found.add(level::fault, "not_a_directory", path, detail);
        }
    }
}

// Names in data_dir and atoms that the store does not use are left alone by every program.
void note_foreign_entries(findings& found, const char* path_template, const char* label,
                          const char* first, const char* second) {
    char path[PATH_BUFFER_SIZE];
    if (path_template == nullptr ? !format_into(path, sizeof path, "%s", data_dir)
                                 : !store_path(path, path_template, data_dir))
        return;
    directory_scan scan(path);
    while (const char* name = scan.next()) {
        if (std::strcmp(name, first) != 0 && std::strcmp(name, second) != 0) {
            found.add_entry(level::note, "foreign_entry", label, name,
                            "not part of the store; left alone");
        }
    }
}

// Reports why an entry could not be read; true when it was read.
bool read_or_report(check_run& run, int dir_fd, const char* label, const char* name,
                    std::size_t limit, const char* too_large_code) {
    struct stat status;
    const read_status result = read_entry(dir_fd, name, limit, run.content, &status);
    char detail[DETAIL_SIZE];
    switch (result) {
        case read_status::read:
            return true;
        case read_status::missing:  // removed while the check ran: nothing to judge
            return false;
        case read_status::not_regular:
            std::snprintf(detail, sizeof detail, "%s, where a file belongs",
                          kind_of_entry(status.st_mode));
            run.found.add_entry(level::fault, "not_regular_file", label, name, detail);
            return false;
        case read_status::too_large:
            std::snprintf(detail, sizeof detail, "%jd bytes, more than a file of its kind can hold",
                          static_cast<intmax_t>(status.st_size));
            run.found.add_entry(level::fault, too_large_code, label, name, detail);
            return false;
        case read_status::failed:
            run.found.add_entry(level::fault, "unreadable", label, name, std::strerror(errno));
            return false;
    }
    return false;
}

void note_temporary(check_run& run, int dir_fd, const char* label, const char* name) {
    struct stat status;
    if (::fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return;  // just linked away
    const int64_t age = age_seconds(status);
    char detail[DETAIL_SIZE];
    std::snprintf(detail, sizeof detail,
                  "left by a write in progress or interrupted, %" PRId64 " s old", age);
    run.found.add_entry(level::note, "temporary", label, name, detail, age);
}

void check_format_file(check_run& run, int dir_fd, const char* name) {
    constexpr char label[] = "formats";
    if (!is_id_text_name(name)) {
        run.found.add_entry(level::fault, "foreign_name", label, name,
                            "not the lowercase hex of a server ID");
        return;
    }
    if (!read_or_report(run, dir_fd, label, name, MAX_FORMAT_FILE_SIZE - 1, "format_too_large"))
        return;
    const rule_problem found = check_format_content(name, run.content.data(), run.content.size());
    if (found.code != nullptr)
        run.found.add_entry(level::fault, found.code, label, name, found.detail);
}

void check_atom_file(check_run& run, int dir_fd, const char* name) {
    constexpr char label[] = "atoms/s";
    if (!is_store_name(name)) {
        run.found.add_entry(level::fault, "foreign_name", label, name,
                            "not a store name as registration makes one");
        return;
    }
    if (!read_or_report(run, dir_fd, label, name, MAX_ATOM_FILE_SIZE, "atom_file_junk")) return;
    int32_t atom = 0;
    const rule_problem found = check_atom_content(run.content.data(), run.content.size(), &atom);
    if (found.code != nullptr)
        return run.found.add_entry(level::fault, found.code, label, name, found.detail);
    if (run.values_fd < 0) return;

    char value_name[16];
    char detail[DETAIL_SIZE];
    format_into(value_name, sizeof value_name, "%d", atom);
    struct stat status;
    const read_status result =
        read_entry(run.values_fd, value_name, MAX_ATOM_VALUE_FILE_SIZE, run.other, &status);
    if (result == read_status::missing) {
        std::snprintf(detail, sizeof detail,
                      "atom %d has no atom value file: its registration did not complete", atom);
        return run.found.add_entry(level::warning, "atom_value_missing", label, name, detail);
    }
    std::size_t line_count = 0;
    if (result != read_status::read ||
        check_atom_value_content(run.other.data(), run.other.size(), &line_count).code != nullptr)
        return;  // the atom value file gets its own finding
    run.other.data()[run.other.size() - 1] = '\0';
    char store_name[NAME_BUFFER_SIZE];
    escape_store_name(reinterpret_cast<const char*>(run.other.data()), store_name);
    if (std::strcmp(store_name, name) != 0) {
        std::snprintf(detail, sizeof detail, "atom %d was registered again for another string",
                      atom);
        run.found.add_entry(level::note, "stale_mapping", label, name, detail);
    }
}

void check_atom_value_file(check_run& run, int dir_fd, const char* name) {
    constexpr char label[] = "atoms/v";
    int32_t atom = 0;
    if (!parse_atom_value_name(name, &atom)) {
        run.found.add_entry(level::fault, "foreign_name", label, name,
                            "not the decimal of an atom 0 to 2147483647");
        return;
    }
    if (!read_or_report(run, dir_fd, label, name, MAX_ATOM_VALUE_FILE_SIZE, "atom_value_too_large"))
        return;
    std::size_t line_count = 0;
    const rule_problem found =
        check_atom_value_content(run.content.data(), run.content.size(), &line_count);
    if (found.code != nullptr)
        return run.found.add_entry(level::fault, found.code, label, name, found.detail);
    if (line_count > 1) {
        run.found.add_entry(
            level::note, "multi_line_value", label, name,
            "the string holds a line feed; the lookup by value answers its first line");
    }
    if (run.strings_fd < 0) return;

    run.content.data()[run.content.size() - 1] = '\0';
    char store_name[NAME_BUFFER_SIZE];
    escape_store_name(reinterpret_cast<const char*>(run.content.data()), store_name);
    if (store_name[0] == '\0') return;  // the empty string has no atom file by design
    struct stat status;
    const read_status result =
        read_entry(run.strings_fd, store_name, MAX_ATOM_FILE_SIZE, run.other, &status);
    char detail[DETAIL_SIZE];
    if (result == read_status::missing) {
        std::snprintf(detail, sizeof detail, "no atom file maps its string back to atom %d", atom);
        return run.found.add_entry(level::warning, "atom_file_missing", label, name, detail);
    }
    int32_t mapped = 0;
    if (result != read_status::read ||
        check_atom_content(run.other.data(), run.other.size(), &mapped).code != nullptr)
        return;
    if (mapped != atom) {
        std::snprintf(detail, sizeof detail, "its string was registered again with atom %d",
                      mapped);
        run.found.add_entry(level::note, "stale_mapping", label, name, detail);
    }
}

using file_check = void (*)(check_run&, int, const char*);
constexpr file_check FILE_CHECKS[] = {check_format_file, check_atom_file, check_atom_value_file};

int open_directory(const char* path_template) {
    char path[PATH_BUFFER_SIZE];
    if (!store_path(path, path_template, data_dir)) return -1;
    return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

int run_check(const check_options& options) {
    findings found(options.is_json);
    check_tree(found);
    note_foreign_entries(found, nullptr, "", "formats", "atoms");
    note_foreign_entries(found, PATH_ATOMS, "atoms", "s", "v");

    progress_meter progress;
    fd_owner strings_fd(open_directory(PATH_ATOM_STRINGS));
    fd_owner values_fd(open_directory(PATH_ATOM_VALUES));
    check_run run{found, strings_fd.get(), values_fd.get(), {}, {}};

    uint64_t total = 0;
    char path[PATH_BUFFER_SIZE];
    if (progress_meter::is_enabled()) {
        for (const store_directory& directory : FILE_DIRECTORIES) {
            if (store_path(path, directory.path_template, data_dir)) total += count_entries(path);
        }
    }
    progress.begin("check", total);
    for (std::size_t i = 0; i < sizeof FILE_DIRECTORIES / sizeof FILE_DIRECTORIES[0]; i++) {
        const store_directory& directory = FILE_DIRECTORIES[i];
        if (!store_path(path, directory.path_template, data_dir)) continue;
        struct stat status;
        if (::stat(path, &status) != 0 || !S_ISDIR(status.st_mode))
            continue;  // a tree fault already
        directory_scan scan(path);
        if (!scan) {
            found.add(level::fault, "unreadable", path, std::strerror(errno));
            continue;
        }
        while (const char* name = scan.next()) {
            progress.step();
            found.count_file();
            if (is_temporary_name(name)) {
                note_temporary(run, scan.fd(), directory.label, name);
            } else {
                FILE_CHECKS[i](run, scan.fd(), name);
            }
        }
        if (scan.failed())
            found.add(level::fault, "unreadable", path, "its listing ended on a read error");
    }
    progress.finish();
    found.summarise();
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return EXIT_FAULTS;
    return found.fault_count() == 0 ? EXIT_SOUND : EXIT_FAULTS;
}
