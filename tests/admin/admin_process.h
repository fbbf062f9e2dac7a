// admin_process.h: runs the built velto-admin as an operator would, and the fixture stores
// that its tests work on, written by the real CGI program.
#ifndef VELTO_TESTS_ADMIN_PROCESS_H
#define VELTO_TESTS_ADMIN_PROCESS_H

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cgi_process.h"

namespace velto_test {

// Runs velto-admin with `args`, exactly `env` as its environment, and `input` on standard input
// (a regular file, so import sees seekable input; `input_is_pipe` gives it a pipe instead).
// When `seconds` is not 0 the program is ended by SIGALRM after that long.
cgi_result run_admin(const std::vector<std::string>& args, const environment& env = {},
                     const std::string& input = "", bool input_is_pipe = false,
                     unsigned seconds = 0);

// Every entry below `root` by relative path: a file's bytes, "<dir>" for a directory and
// "<link>" for a symbolic link, so two trees compare byte for byte.
std::map<std::string, std::string> tree_snapshot(const std::filesystem::path& root);

// The CGI program on one store.
class cgi_store {
  public:
    explicit cgi_store(std::filesystem::path data) : data_(std::move(data)) {}
    const std::filesystem::path& path() const { return data_; }
    std::string data() const { return data_.string(); }

    cgi_result get(const std::string& path_info) const;
    cgi_result post(const std::string& path_info, const std::string& body) const;
    // Registers a format representation (bytes) and returns its ID text; fails the test
    // when the program does not answer 200.
    std::string add_format(const std::string& representation) const;
    void add_atom(const std::string& string, long long atom) const;

  private:
    std::filesystem::path data_;
};

// Sets a file's modification time `seconds` into the past.
void age_file(const std::filesystem::path& path, long seconds);

}  // namespace velto_test

#endif  // VELTO_TESTS_ADMIN_PROCESS_H
