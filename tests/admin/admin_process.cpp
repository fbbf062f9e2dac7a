// admin_process.cpp: fork/exec of velto-admin with files on its standard streams.
#include "admin_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

#ifndef VELTO_ADMIN_PATH
#error "VELTO_ADMIN_PATH must name the velto-admin program under test"
#endif

namespace fs = std::filesystem;

namespace velto_test {

namespace {

int open_scratch(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot create " + path.string());
    return fd;
}

}  // namespace

cgi_result run_admin(const std::vector<std::string>& args, const environment& env,
                     const std::string& input, bool input_is_pipe, unsigned seconds) {
    const temp_dir scratch;
    write_file(scratch.path() / "in", input);
    std::vector<std::string> env_texts;
    for (const auto& [name, value] : env) env_texts.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& text : env_texts) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::string program = VELTO_ADMIN_PATH;
    std::vector<std::string> arg_texts = args;
    std::vector<char*> argv{program.data()};
    for (auto& text : arg_texts) argv.push_back(text.data());
    argv.push_back(nullptr);

    int in_fd = -1;
    int in_pipe[2] = {-1, -1};
    if (input_is_pipe) {
        // Small inputs only: the whole input must fit the pipe's buffer.
        if (input.size() > 60000 || ::pipe2(in_pipe, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        if (::write(in_pipe[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
            throw std::runtime_error("pipe write");
        ::close(in_pipe[1]);
        in_fd = in_pipe[0];
    } else {
        in_fd = ::open((scratch.path() / "in").c_str(), O_RDONLY | O_CLOEXEC);
    }
    const int out_fd = open_scratch(scratch.path() / "out");
    const int err_fd = open_scratch(scratch.path() / "err");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(in_fd, 0);
        ::dup2(out_fd, 1);
        ::dup2(err_fd, 2);
        ::signal(SIGALRM, SIG_DFL);
        ::alarm(seconds);  // kept across execve
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in_fd);
    ::close(out_fd);
    ::close(err_fd);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    cgi_result result;
    result.out = read_file(scratch.path() / "out").value_or("");
    result.err = read_file(scratch.path() / "err").value_or("");
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::map<std::string, std::string> tree_snapshot(const fs::path& root) {
    std::map<std::string, std::string> snapshot;
    if (!fs::exists(root)) return snapshot;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(entry.path(), root).string();
        if (entry.is_symlink()) {
            snapshot[name] = "<link>";
        } else if (entry.is_directory()) {
            snapshot[name] = "<dir>";
        } else {
            snapshot[name] = read_file(entry.path()).value_or("<unreadable>");
        }
    }
    return snapshot;
}

cgi_result cgi_store::get(const std::string& path_info) const {
    return run_cgi(
        {{"REQUEST_METHOD", "GET"}, {"PATH_INFO", path_info}, {"VELTO_DATA_DIR", data()}});
}

cgi_result cgi_store::post(const std::string& path_info, const std::string& body) const {
    return run_cgi({{"REQUEST_METHOD", "POST"},
                    {"PATH_INFO", path_info},
                    {"CONTENT_LENGTH", std::to_string(body.size())},
                    {"VELTO_DATA_DIR", data()}},
                   body);
}

std::string cgi_store::add_format(const std::string& representation) const {
    const cgi_result result =
        post("/v1/formats", "{\"format_rep\":\"" + to_hex(representation) + "\"}");
    const std::string prefix = response(200, "{\"server_id\":\"");
    EXPECT_EQ(result.out.compare(0, prefix.size(), prefix), 0) << result.out;
    if (result.out.size() < prefix.size() + 2) return "";
    return result.out.substr(prefix.size(), result.out.size() - prefix.size() - 2);
}

void cgi_store::add_atom(const std::string& string, long long atom) const {
    const cgi_result result =
        post("/v1/atoms", "{\"string\":\"" + string + "\",\"atom\":" + std::to_string(atom) + "}");
    EXPECT_EQ(result.out, response(200, "{\"ok\":true}")) << string;
}

void age_file(const fs::path& path, long seconds) {
    const timespec when[2] = {{std::time(nullptr) - seconds, 0}, {std::time(nullptr) - seconds, 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), when, AT_SYMLINK_NOFOLLOW) != 0)
        throw std::runtime_error("cannot age " + path.string());
}

}  // namespace velto_test
