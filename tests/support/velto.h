// velto.h: the two programs under test as processes (velto.cgi on a store, velto-admin), the
// bytes of their answers as a client must see them, and the test data and the one server-ID
// oracle that every suite shares. Expected bytes are spelled out here and in the tests, never
// taken from the program's own constants.
#ifndef VELTO_TESTS_VELTO_H
#define VELTO_TESTS_VELTO_H

#include <sys/resource.h>

#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "files.h"
#include "spawn.h"

namespace velto_test {

// --- velto.cgi -----------------------------------------------------------------------------------

struct run_options {
    rlim_t file_size_limit = RLIM_INFINITY;  // RLIMIT_FSIZE, to fail writes part way
    std::string preload;                     // a library preloaded in front of the C library
    int deadline_seconds = 240;              // killed with SIGKILL when still running then
};
inline run_options file_size_limited(rlim_t bytes) {
    run_options options;
    options.file_size_limit = bytes;
    return options;
}

// velto.cgi as a web server starts it: exactly `env`, `input` on standard input.
process_launch cgi_launch(const environment& env, const std::string& input = "",
                          const run_options& options = {});
process_result run_cgi(const environment& env, const std::string& input = "",
                       const run_options& options = {});

// The response as the program must frame it: the Status line with its reason, the two headers,
// a blank line, and the body with no line end after it.
std::string response(int status, const std::string& body);

// Expects exactly `expected` on standard output, nothing on standard error, exit status 0.
void expect_answer(const process_result& result, const std::string& expected);

// The CGI program on one store.
class cgi_store {
  public:
    explicit cgi_store(std::filesystem::path data) : data_(std::move(data)) {}
    const std::filesystem::path& path() const { return data_; }
    std::string data() const { return data_.string(); }

    // REQUEST_METHOD, PATH_INFO and VELTO_DATA_DIR, nothing else.
    environment env(const std::string& method, const std::string& path_info) const;
    process_result get(const std::string& path_info) const;
    // A POST whose CONTENT_LENGTH is the body's size.
    process_result post(const std::string& path_info, const std::string& body,
                        const run_options& options = {}) const;
    // Registers a representation (bytes) and returns its ID text; fails the test when the
    // program does not answer 200.
    std::string add_format(const std::string& representation) const;
    void add_atom(const std::string& string, long long atom) const;

  private:
    std::filesystem::path data_;
};

// --- velto-admin ---------------------------------------------------------------------------------

// Runs velto-admin with `args`, exactly `env`, and `input` on standard input: a regular file, so
// import sees seekable input, or a pipe when `input_is_pipe`. Killed when still running after
// `deadline_seconds`.
process_result run_admin(const std::vector<std::string>& args, const environment& env = {},
                         const std::string& input = "", bool input_is_pipe = false,
                         int deadline_seconds = 240);

using finding = std::tuple<std::string, std::string, std::string>;  // level, code, relative path

// The findings of `velto-admin check --json` on the store `data`, paths made relative to it
// ("." for the store itself). Each line must have the form of a finding, and the summary line
// must come last.
std::set<finding> parse_findings(const std::string& out, const std::string& data);

// --- Data ----------------------------------------------------------------------------------------

// Bytes as hex text, two digits a byte, high nibble first; and back (pairs of digits of either
// case).
std::string to_hex(const std::string& bytes, bool upper = false);
std::string from_hex(const std::string& hex);
// Every byte as % and two uppercase hex digits, as a client may write any string in a URL.
std::string percent_encode(const std::string& text);
// What a store name stands for, read the plain way: each %xx is that byte, any other byte itself.
std::string unescape_store_name(const std::string& name);

// A representation of `size` bytes (at least 8) from `seed` that declares its own size in the
// 32-bit form of its header.
std::string representation(std::size_t size, unsigned seed);

// The server ID that the format library must give: the first 16 bytes of the SHA-256 digest of
// the first max(8, declared) bytes, as lowercase hex.
std::string server_id(const std::string& rep, std::size_t declared);
// The same, with the declared length read from the header (bytes 0-1 big-endian; when byte 3 is
// non-zero, bytes 6-7 as the upper half); empty when `rep` can be no representation: shorter
// than its header, or than it declares.
std::string server_id(const std::string& rep);

// A representation of 16 bytes that declares 16, and its server ID, as the README shows them.
inline const std::string SAMPLE_REP_HEX = "0010000000000000aabbccddeeff0011";
inline const std::string SAMPLE_REP_ID = "8922697456a7890770ec1957f4aafb2a";

}  // namespace velto_test

#endif  // VELTO_TESTS_VELTO_H
