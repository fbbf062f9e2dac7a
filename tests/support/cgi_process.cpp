// cgi_process.cpp: fork/exec of velto.cgi with pipes on all three standard streams.
#include "cgi_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <random>
#include <stdexcept>
#include <vector>

#ifndef VELTO_CGI_PATH
#error "VELTO_CGI_PATH must name the CGI program under test"
#endif

namespace velto_test {

namespace {

void make_pipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
}

}  // namespace

cgi_result run_cgi(const environment& env, const std::string& input, cgi_limits limits) {
    // The child may stop reading standard input early; its exit must not kill the test.
    ::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> env_texts;
    for (const auto& [name, value] : env) env_texts.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& text : env_texts) envp.push_back(text.data());
    envp.push_back(nullptr);
    char program[] = VELTO_CGI_PATH;
    char* argv[] = {program, nullptr};

    int in_pipe[2], out_pipe[2], err_pipe[2];
    make_pipe(in_pipe);
    make_pipe(out_pipe);
    make_pipe(err_pipe);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(in_pipe[0], 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            ::close(fd);
        const rlimit file_size{limits.file_size, limits.file_size};
        ::setrlimit(RLIMIT_FSIZE, &file_size);
        ::signal(SIGPIPE, SIG_DFL);
        ::signal(SIGALRM, SIG_DFL);
        ::alarm(limits.seconds);  // kept across execve
        ::execve(program, argv, envp.data());
        ::_exit(127);
    }
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);

    cgi_result result;
    int in_fd = in_pipe[1];
    if (input.empty()) {
        ::close(in_fd);
        in_fd = -1;
    } else {
        ::fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    std::size_t written = 0;
    int out_fd = out_pipe[0], err_fd = err_pipe[0];
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3];
        int count = 0;
        if (in_fd >= 0) fds[count++] = {in_fd, POLLOUT, 0};
        if (out_fd >= 0) fds[count++] = {out_fd, POLLIN, 0};
        if (err_fd >= 0) fds[count++] = {err_fd, POLLIN, 0};
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("poll failed");
        }
        for (int i = 0; i < count; i++) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in_fd) {
                const ssize_t n = ::write(in_fd, input.data() + written, input.size() - written);
                if (n > 0) written += static_cast<std::size_t>(n);
                if (n < 0 && errno != EAGAIN) written = input.size();
                if (written == input.size()) {
                    ::close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            char buffer[65536];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            std::string& sink = fds[i].fd == out_fd ? result.out : result.err;
            if (n > 0) {
                sink.append(buffer, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                (fds[i].fd == out_fd ? out_fd : err_fd) = -1;
            }
        }
    }
    if (in_fd >= 0) ::close(in_fd);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string response(int status, const std::string& body) {
    const char* reason = status == 200   ? "OK"
                         : status == 400 ? "Bad Request"
                         : status == 404 ? "Not Found"
                         : status == 500 ? "Internal Server Error"
                                         : "?";
    return "Status: " + std::to_string(status) + " " + reason +
           "\r\nContent-Type: application/json\r\nAccess-Control-Allow-Origin: *\r\n\r\n" + body;
}

std::string to_hex(const std::string& bytes, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0f];
    }
    return hex;
}

std::string percent_encode(const std::string& text) {
    std::string encoded;
    for (const char byte : text) encoded += "%" + to_hex(std::string(1, byte), true);
    return encoded;
}

std::string representation(std::size_t size, unsigned seed) {
    std::string rep(size, '\0');
    std::mt19937 bytes(seed);
    for (auto& byte : rep) byte = static_cast<char>(bytes());
    rep[0] = static_cast<char>(size >> 8 & 0xff);
    rep[1] = static_cast<char>(size & 0xff);
    rep[3] = 1;
    rep[6] = static_cast<char>(size >> 24 & 0xff);
    rep[7] = static_cast<char>(size >> 16 & 0xff);
    return rep;
}

std::optional<std::string> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string tree_listing(const std::filesystem::path& root) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        std::string name = std::filesystem::relative(entry.path(), root).string();
        if (entry.is_directory() && !entry.is_symlink()) name += "/";
        names.insert(name);
    }
    std::string listing;
    for (const auto& name : names) listing += name + "\n";
    return listing;
}

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velto-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace velto_test
