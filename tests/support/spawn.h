// spawn.h: the one way the tests start a program: fork and exec with exactly the environment
// given, standard input from bytes or a file, standard output and error captured, the exit
// status, and optional limits and a preloaded library. Every test that runs velto.cgi or
// velto-admin goes through here (velto.h wraps it for the two programs).
#ifndef VELTO_TESTS_SPAWN_H
#define VELTO_TESTS_SPAWN_H

#include <sys/resource.h>
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velto_test {

// Environment variables of one process; a variable absent from the map is absent from the
// process's environment (nothing is inherited).
using environment = std::map<std::string, std::string>;

struct process_result {
    std::string out;
    std::string err;
    int exit_status = -1;  // -1 when the process did not exit normally
    int term_signal = 0;   // the signal that ended it, 0 when it exited
};

enum class input_via {
    pipe,          // the bytes through a pipe, written while the process runs, then closed
    regular_file,  // the bytes in a regular file, so the process sees seekable input
};

enum class output_to {
    captured,  // standard output and standard error each through a pipe into the result
    closed,    // standard output closed before exec (a host that gives none); error captured
};

struct process_launch {
    std::string program;
    std::vector<std::string> args;  // after the program's name
    environment env;
    std::string input;
    input_via input_as = input_via::pipe;
    // When not empty, standard input is this file and `input` is not used.
    std::filesystem::path input_file;
    // started_process only: when 0 or more, standard input is this descriptor of the test (a
    // listening socket, as spawn-fcgi hands a FastCGI worker), and `input` and `input_file` are
    // not used; the test keeps it and closes it. And when not empty, standard error goes to
    // this file, created or emptied, instead of /dev/null.
    int input_fd = -1;
    std::filesystem::path error_file;
    output_to output = output_to::captured;
    rlim_t file_size_limit = RLIM_INFINITY;  // RLIMIT_FSIZE of the process
    // A shared library for LD_PRELOAD. The sanitizer runtime then also gets
    // verify_asan_link_order=0, as it would otherwise refuse to start behind the preload.
    std::string preload;
    // A process still running this long after its start is killed with SIGKILL, so a hung
    // program ends its test instead of stalling the suite.
    int deadline_seconds = 240;
};

// Runs the program to its end and collects what it wrote.
process_result run_process(const process_launch& launch);

// A process started with its standard output and error going to /dev/null, for tests that stop
// or kill it while it works. A process still running when its owner goes is killed and reaped.
class started_process {
  public:
    explicit started_process(const process_launch& launch);
    started_process(const started_process&) = delete;
    started_process& operator=(const started_process&) = delete;
    ~started_process();

    // Sends `signal`; false when the process had already ended (its pid is only reaped by wait).
    bool signal(int signal) const;
    // Waits for the end; out and err stay empty.
    process_result wait();
    // The same, giving up after `timeout_ms`: nullopt while the process still runs.
    std::optional<process_result> wait_for(int timeout_ms);
    // The process's id, for /proc; -1 once it has been waited for.
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

// Runs `body` in a forked copy of the test process under a file-size limit, SIGXFSZ ignored, as
// a way to make the store's own routines meet a full disk; true when body returned true.
bool run_forked(const std::function<bool()>& body, rlim_t file_size_limit);

}  // namespace velto_test

#endif  // VELTO_TESTS_SPAWN_H
