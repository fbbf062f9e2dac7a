// files.h: files and trees as the tests see them: a fresh directory per test, whole reads and
// writes, and a tree as text so that two trees compare at a glance.
#ifndef VELTO_TESTS_FILES_H
#define VELTO_TESTS_FILES_H

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace velto_test {

// A fresh, empty directory under the system's temporary directory, removed on destruction.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Reads a whole file; nullopt when it cannot be opened.
std::optional<std::string> read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

// Every name below `root`, relative, one per line in sorted order, directories ending in '/'.
std::string tree_listing(const std::filesystem::path& root);

// Every entry below `root` by relative path, no link followed: a file's bytes, "<dir>" for a
// directory, "<link to TARGET>" for a symbolic link and "<fifo>" for a named pipe, so two trees
// compare byte for byte. Empty for no tree.
std::map<std::string, std::string> tree_snapshot(const std::filesystem::path& root);

// Sets a file's modification time `seconds` into the past.
void age_file(const std::filesystem::path& path, long seconds);

}  // namespace velto_test

#endif  // VELTO_TESTS_FILES_H
