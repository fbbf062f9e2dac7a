// files.cpp: temporary directories, whole files and tree listings.
#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

namespace fs = std::filesystem;

namespace velto_test {

temp_dir::temp_dir() {
    std::string pattern = (fs::temp_directory_path() / "velto-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::optional<std::string> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string tree_listing(const fs::path& root) {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string name = fs::relative(entry.path(), root).string();
        if (entry.is_directory() && !entry.is_symlink()) name += "/";
        names.insert(name);
    }
    std::string listing;
    for (const auto& name : names) listing += name + "\n";
    return listing;
}

std::map<std::string, std::string> tree_snapshot(const fs::path& root) {
    std::map<std::string, std::string> snapshot;
    if (!fs::exists(root)) return snapshot;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(entry.path(), root).string();
        if (entry.is_symlink()) {
            snapshot[name] = "<link to " + fs::read_symlink(entry.path()).string() + ">";
        } else if (entry.is_directory()) {
            snapshot[name] = "<dir>";
        } else if (entry.is_fifo()) {
            snapshot[name] = "<fifo>";
        } else {
            snapshot[name] = read_file(entry.path()).value_or("<unreadable>");
        }
    }
    return snapshot;
}

void age_file(const fs::path& path, long seconds) {
    const timespec when[2] = {{std::time(nullptr) - seconds, 0}, {std::time(nullptr) - seconds, 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), when, AT_SYMLINK_NOFOLLOW) != 0)
        throw std::runtime_error("cannot age " + path.string());
}

}  // namespace velto_test
