// check.cpp: the soundness report.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "admin/codes.h"
#include "admin/commands.h"
#include "admin/walk.h"
#include "base/owners.h"
#include "base/text.h"
#include "store/files.h"
#include "store/layout.h"
#include "store/store.h"

namespace {

constexpr const char* LEVEL_NAMES[] = {"fault", "warning", "note"};

class findings {
  public:
    explicit findings(bool is_json) : is_json_(is_json) {}

    // `age` is the age in seconds of a temporary, -1 for every other finding.
    void add(finding which, const char* path, const char* detail, int64_t age = -1) {
        const finding_rule& rule = rule_of(which);
        const char* level_name = LEVEL_NAMES[static_cast<int>(rule.at)];
        counts_[static_cast<int>(rule.at)]++;
        progress_meter::wipe();
        if (is_json_) {
            std::printf("{\"level\":\"%s\",\"code\":\"%s\",\"path\":", level_name, rule.code);
            put_json_string(stdout, path);
            std::fputs(",\"detail\":", stdout);
            put_json_string(stdout, detail);
            if (age >= 0) std::printf(",\"age_seconds\":%" PRId64, age);
            std::fputs("}\n", stdout);
        } else {
            std::printf("%s: %s: %s: %s\n", level_name, path, rule.code, detail);
        }
    }
    void add_entry(finding which, const char* label, const char* name, const char* detail,
                   int64_t age = -1) {
        char path[PATH_BUFFER_SIZE];
        entry_path(path, label, name);
        add(which, path, detail, age);
    }
    void count_file() { files_++; }
    uint64_t fault_count() const { return counts_[static_cast<int>(level::fault)]; }

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

// The user the server runs as, against whom every entry is held.
struct server_user {
    uid_t uid = 0;
    gid_t groups[64] = {};
    int group_count = 0;
    char name[64] = "";

    bool is_member(gid_t gid) const {
        for (int i = 0; i < group_count; i++) {
            if (groups[i] == gid) return true;
        }
        return false;
    }
    // Whether the user may do all of `wanted` (a mask of 4 read, 2 write, 1 search) to an entry.
    bool may(const struct stat& status, mode_t wanted) const {
        if (uid == 0) return true;
        const mode_t bits = status.st_uid == uid    ? (status.st_mode >> 6) & 7
                            : is_member(status.st_gid) ? (status.st_mode >> 3) & 7
                                                       : status.st_mode & 7;
        return (bits & wanted) == wanted;
    }
};

// `name` when given, else the owner of data_dir (with its groups when the system knows it).
// False, with a message, for an unknown name.
bool find_server_user(const char* name, server_user* user) {
    const passwd* entry = nullptr;
    struct stat status;
    if (name != nullptr) {
        entry = ::getpwnam(name);
        if (entry == nullptr) {
            std::fprintf(stderr, "velto-admin check: no user %s on this system\n", name);
            return false;
        }
    } else if (::stat(data_dir, &status) == 0) {
        entry = ::getpwuid(status.st_uid);
        user->uid = status.st_uid;
        user->groups[0] = status.st_gid;
        user->group_count = 1;
        std::snprintf(user->name, sizeof user->name, "uid %ld", static_cast<long>(status.st_uid));
    } else {
        return true;  // no store: the tree's faults say so
    }
    if (entry != nullptr) {
        user->uid = entry->pw_uid;
        int count = static_cast<int>(sizeof user->groups / sizeof user->groups[0]);
        if (::getgrouplist(entry->pw_name, entry->pw_gid, user->groups, &count) < 0) {
            count = static_cast<int>(sizeof user->groups / sizeof user->groups[0]);
        }
        user->group_count = count;
        std::snprintf(user->name, sizeof user->name, "%s", entry->pw_name);
    }
    return true;
}

bool form_tree_path(char (&out)[PATH_BUFFER_SIZE], const char* path_template) {
    if (path_template == nullptr) return format_into(out, sizeof out, "%s", data_dir);
    return store_path(out, path_template, data_dir);
}

// An entry the server's user does not own, or cannot use as it must: list, write and search a
// directory, read a file.
void check_owner(findings& found, const server_user& user, const char* path,
                 const struct stat& status) {
    char detail[DETAIL_SIZE];
    if (status.st_uid != user.uid) {
        std::snprintf(detail, sizeof detail, "owned by uid %ld, not by the server's user %s",
                      static_cast<long>(status.st_uid), user.name);
        found.add(finding::foreign_owner, path, detail);
    }
    const bool is_directory = S_ISDIR(status.st_mode);
    if (!user.may(status, is_directory ? 7 : 4)) {
        std::snprintf(detail, sizeof detail, "the server's user %s cannot %s it", user.name,
                      is_directory ? "list, write and enter" : "read");
        found.add(finding::no_access, path, detail);
    }
}

// data_dir and each directory of the tree present and a directory. data_dir may be a link, the
// operator's choice; below it a link is no directory, since the programs never follow one.
void check_tree(findings& found, const server_user& user) {
    const char* templates[1 + sizeof STORE_TREE / sizeof STORE_TREE[0]] = {nullptr};
    for (std::size_t i = 0; i < sizeof STORE_TREE / sizeof STORE_TREE[0]; i++) {
        templates[i + 1] = STORE_TREE[i].path_template;
    }
    for (const char* path_template : templates) {
        char path[PATH_BUFFER_SIZE];
        if (!form_tree_path(path, path_template)) {
            found.add(finding::path_too_long, data_dir, "the store's paths would not fit");
            return;
        }
        struct stat status;
        const int queried =
            path_template == nullptr ? ::stat(path, &status) : ::lstat(path, &status);
        if (queried != 0) {
            found.add(finding::missing_directory, path,
                      errno == ENOENT ? "missing" : std::strerror(errno));
        } else if (!S_ISDIR(status.st_mode)) {
            char detail[DETAIL_SIZE];
            std::snprintf(detail, sizeof detail, "%s, where a directory belongs",
                          kind_of_entry(status.st_mode));
            found.add(finding::not_a_directory, path, detail);
        } else {
            check_owner(found, user, path, status);
        }
    }
}

// Whether `name` in the directory at `parent` (an index in STORE_TREE; -1 for data_dir) is one
// of the tree's own.
bool is_tree_entry(int parent, const char* name) {
    for (const tree_directory& directory : STORE_TREE) {
        if (directory.parent == parent && std::strcmp(directory.name, name) == 0) return true;
    }
    return false;
}

// Names beside the tree in data_dir and in the directories that hold only directories are not
// the store's, and every program leaves them alone.
void note_foreign_entries(findings& found) {
    constexpr int tree_size = static_cast<int>(sizeof STORE_TREE / sizeof STORE_TREE[0]);
    for (int parent = -1; parent < tree_size; parent++) {
        bool holds_directories = false;
        for (const tree_directory& directory : STORE_TREE) {
            holds_directories = holds_directories || directory.parent == parent;
        }
        if (!holds_directories) continue;
        const char* label = parent < 0 ? "" : STORE_TREE[parent].label;
        directory_scan scan(parent < 0 ? ::open(data_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                       : open_tree_directory(label).release());
        while (const char* name = scan.next()) {
            if (is_tree_entry(parent, name)) continue;
            struct stat status;
            char detail[DETAIL_SIZE];
            std::snprintf(detail, sizeof detail, "%s; not part of the store; left alone",
                          ::fstatat(scan.fd(), name, &status, AT_SYMLINK_NOFOLLOW) == 0
                              ? kind_of_entry(status.st_mode)
                              : "gone");
            found.add_entry(finding::foreign_entry, label, name, detail);
        }
    }
}

class checker final : public store_visitor {
  public:
    checker(findings& found, const server_user& user)
        : found_(found),
          user_(user),
          strings_fd_(open_store_directory(file_kind::atom)),
          values_fd_(open_store_directory(file_kind::atom_value)) {}

    void cannot_open(const file_kind_rules&, const char* path, int error) override {
        // A missing directory, or a file or link in its place, is a fault of the tree already.
        if (error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG) return;
        found_.add(finding::unreadable, path, std::strerror(error));
    }

    void listing_failed(const file_kind_rules&, const char* path) override {
        found_.add(finding::unreadable, path, "its listing ended on a read error");
    }

    bool visit(const file_kind_rules& kind, int dir_fd, const char* name) override {
        found_.count_file();
        if (is_temporary_name(name)) {
            note_temporary(kind, dir_fd, name);
            return true;
        }
        if (!kind.is_name(name)) {
            char detail[DETAIL_SIZE];
            std::snprintf(detail, sizeof detail, "not %s", kind.name_rule);
            found_.add_entry(finding::foreign_name, kind.label, name, detail);
            return true;
        }
        if (!read_or_report(kind, dir_fd, name)) return true;
        const content_problem problem = kind.check_content(name, content_.data(), content_.size());
        if (problem.fault != content_fault::none) {
            found_.add_entry(finding_of(problem.fault), kind.label, name, problem.detail);
            return true;
        }
        if (kind.kind == file_kind::atom) look_across_from_atom_file(name);
        if (kind.kind == file_kind::atom_value) look_across_from_atom_value_file(name);
        return true;
    }

  private:
    void note_temporary(const file_kind_rules& kind, int dir_fd, const char* name) {
        struct stat status;
        if (::fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return;  // linked away
        const int64_t age = age_seconds(status);
        char detail[DETAIL_SIZE];
        std::snprintf(detail, sizeof detail,
                      "left by a write in progress or interrupted, %" PRId64 " s old", age);
        found_.add_entry(finding::temporary, kind.label, name, detail, age);
    }

    // Reports why an entry could not be read; true when it was read into content_.
    bool read_or_report(const file_kind_rules& kind, int dir_fd, const char* name) {
        struct stat status;
        const read_status result =
            read_store_entry(dir_fd, name, kind.size_limit, content_, &status);
        char detail[DETAIL_SIZE];
        switch (result) {
            case read_status::read: {
                char path[PATH_BUFFER_SIZE];
                entry_path(path, kind.label, name);
                check_owner(found_, user_, path, status);
                return true;
            }
            case read_status::missing:  // removed while the check ran: nothing to judge
                return false;
            case read_status::not_regular:
                std::snprintf(detail, sizeof detail, "%s, where a file belongs",
                              kind_of_entry(status.st_mode));
                found_.add_entry(finding::not_regular_file, kind.label, name, detail);
                return false;
            case read_status::too_large:
                std::snprintf(detail, sizeof detail,
                              "%jd bytes, more than a file of its kind can hold",
                              static_cast<intmax_t>(status.st_size));
                found_.add_entry(too_large_finding(kind.kind), kind.label, name, detail);
                return false;
            case read_status::failed:
                found_.add_entry(finding::unreadable, kind.label, name, std::strerror(errno));
                return false;
        }
        return false;
    }

    // A sound atom file: its atom's value file should name the same string back.
    void look_across_from_atom_file(const char* name) {
        int32_t atom = 0;
        check_atom_content(content_.data(), content_.size(), &atom);
        if (!values_fd_) return;
        const char* label = rules_of(file_kind::atom).label;
        char value_name[ATOM_FILE_TEXT_SIZE];
        char detail[DETAIL_SIZE];
        format_atom_value_name(atom, value_name);
        struct stat status;
        const read_status result =
            read_store_entry(values_fd_.get(), value_name,
                             rules_of(file_kind::atom_value).size_limit, other_, &status);
        if (result == read_status::missing) {
            std::snprintf(detail, sizeof detail,
                          "atom %d has no atom value file: its registration did not complete",
                          atom);
            return found_.add_entry(finding::atom_value_missing, label, name, detail);
        }
        std::size_t line_count = 0;
        if (result != read_status::read ||
            check_atom_value_content(other_.data(), other_.size(), &line_count).fault !=
                content_fault::none) {
            return;  // the atom value file gets its own finding
        }
        other_.data()[other_.size() - 1] = '\0';
        char store_name[NAME_BUFFER_SIZE];
        escape_store_name(reinterpret_cast<const char*>(other_.data()), store_name);
        if (std::strcmp(store_name, name) != 0) {
            std::snprintf(detail, sizeof detail, "atom %d was registered again for another string",
                          atom);
            found_.add_entry(finding::stale_mapping, label, name, detail);
        }
    }

    // A sound atom value file: its string's atom file should hold the same atom.
    void look_across_from_atom_value_file(const char* name) {
        const char* label = rules_of(file_kind::atom_value).label;
        int32_t atom = 0;
        parse_atom_value_name(name, &atom);
        std::size_t line_count = 0;
        check_atom_value_content(content_.data(), content_.size(), &line_count);
        if (line_count > 1) {
            found_.add_entry(
                finding::multi_line_value, label, name,
                "the string holds a line feed; the lookup by value answers its first line");
        }
        if (!strings_fd_) return;

        content_.data()[content_.size() - 1] = '\0';
        char store_name[NAME_BUFFER_SIZE];
        escape_store_name(reinterpret_cast<const char*>(content_.data()), store_name);
        if (store_name[0] == '\0') return;  // the empty string has no atom file by design
        struct stat status;
        const read_status result = read_store_entry(
            strings_fd_.get(), store_name, rules_of(file_kind::atom).size_limit, other_, &status);
        char detail[DETAIL_SIZE];
        if (result == read_status::missing) {
            std::snprintf(detail, sizeof detail, "no atom file maps its string back to atom %d",
                          atom);
            return found_.add_entry(finding::atom_file_missing, label, name, detail);
        }
        int32_t mapped = 0;
        if (result != read_status::read ||
            check_atom_content(other_.data(), other_.size(), &mapped).fault !=
                content_fault::none) {
            return;
        }
        if (mapped != atom) {
            std::snprintf(detail, sizeof detail, "its string was registered again with atom %d",
                          mapped);
            found_.add_entry(finding::stale_mapping, label, name, detail);
        }
    }

    findings& found_;
    const server_user& user_;
    fd_owner strings_fd_;
    fd_owner values_fd_;
    byte_buffer content_;
    byte_buffer other_;
};

}  // namespace

int run_check(const check_options& options) {
    server_user user;
    if (!find_server_user(options.user, &user)) return EXIT_FAULTS;
    findings found(options.is_json);
    check_tree(found, user);
    note_foreign_entries(found);
    checker check(found, user);
    walk_store("check", check);
    found.summarise();
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return EXIT_FAULTS;
    return found.fault_count() == 0 ? EXIT_SOUND : EXIT_FAULTS;
}
