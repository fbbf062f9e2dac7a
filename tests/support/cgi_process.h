// cgi_process.h: runs the built CGI program as a web server would, and a fresh store per test.
#ifndef VELTO_TESTS_CGI_PROCESS_H
#define VELTO_TESTS_CGI_PROCESS_H

#include <sys/resource.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace velto_test {

// Environment variables of one invocation; a variable absent from the map is absent from the
// process's environment (nothing else is inherited).
using environment = std::map<std::string, std::string>;

struct cgi_result {
    std::string out;
    std::string err;
    int exit_status = -1;  // -1 when the process did not exit normally
};

struct cgi_limits {
    rlim_t file_size = RLIM_INFINITY;  // RLIMIT_FSIZE for the child
    unsigned seconds = 0;              // when not 0, the child is ended by SIGALRM after this long
};

// Runs velto.cgi with exactly `env`, `input` on standard input, and waits for it.
cgi_result run_cgi(const environment& env, const std::string& input = "", cgi_limits limits = {});

// The response as the program must frame it, spelled out here rather than taken from the
// program's own constants.
std::string response(int status, const std::string& body);

// Bytes as hex text, two digits a byte, high nibble first.
std::string to_hex(const std::string& bytes, bool upper = false);
// Every byte as % and two uppercase hex digits, as a client may write any string in a URL.
std::string percent_encode(const std::string& text);
// A representation of `size` bytes (at least 8) from `seed` that declares its own size in the
// 32-bit form of its header.
std::string representation(std::size_t size, unsigned seed);

// Reads a whole file; nullopt when it cannot be opened.
std::optional<std::string> read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

// Every name below `root`, relative, one per line in sorted order, directories ending in '/'.
std::string tree_listing(const std::filesystem::path& root);

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

}  // namespace velto_test

#endif  // VELTO_TESTS_CGI_PROCESS_H
