// spawn.cpp: fork/exec with pipes or files on the three standard streams.
#include "spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace velto_test {

namespace {

// Descriptors of the parent that it closes when it goes out of scope.
class fd_set_owner {
  public:
    ~fd_set_owner() {
        for (int fd : fds_) ::close(fd);
    }
    int keep(int fd) {
        fds_.push_back(fd);
        return fd;
    }
    void close(int& fd) {
        for (auto& held : fds_) {
            if (held == fd) held = -1;
        }
        if (fd >= 0) ::close(fd);
        fd = -1;
    }

  private:
    std::vector<int> fds_;
};

void make_pipe(int fds[2]) {
    // Close-on-exec: a child that another thread starts meanwhile must not hold this pipe open.
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
}

// An unnamed regular file holding `bytes`, open for reading at its start.
int bytes_as_file(const std::string& bytes) {
    std::string pattern = (std::filesystem::temp_directory_path() / "velto-input-XXXXXX").string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("mkostemp failed");
    ::unlink(pattern.c_str());
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) throw std::runtime_error("cannot write the input file");
        done += static_cast<std::size_t>(n);
    }
    ::lseek(fd, 0, SEEK_SET);
    return fd;
}

int open_or_throw(const std::filesystem::path& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot open " + path.string());
    return fd;
}

// The argument and environment vectors, built before fork: the child of a threaded test may
// call only async-signal-safe functions.
struct exec_vectors {
    std::vector<std::string> texts;
    std::vector<char*> argv;
    std::vector<char*> envp;

    explicit exec_vectors(const process_launch& launch) {
        environment env = launch.env;
        if (!launch.preload.empty()) {
            env["LD_PRELOAD"] = launch.preload;
            env.emplace("ASAN_OPTIONS", "verify_asan_link_order=0");
        }
        texts.push_back(launch.program);
        texts.insert(texts.end(), launch.args.begin(), launch.args.end());
        const std::size_t argc = texts.size();
        for (const auto& [name, value] : env) texts.push_back(name + "=" + value);
        for (std::size_t i = 0; i < texts.size(); i++) {
            (i < argc ? argv : envp).push_back(texts[i].data());
        }
        argv.push_back(nullptr);
        envp.push_back(nullptr);
    }
};

// In the child: standard streams in place, limits, default signal handling, exec.
[[noreturn]] void become(const process_launch& launch, const exec_vectors& vectors, int in_fd,
                         int out_fd, int err_fd) {
    ::dup2(in_fd, 0);
    if (out_fd >= 0) {
        ::dup2(out_fd, 1);
    } else {
        ::close(1);
    }
    ::dup2(err_fd, 2);
    const rlimit file_size{launch.file_size_limit, launch.file_size_limit};
    ::setrlimit(RLIMIT_FSIZE, &file_size);
    // The test ignores SIGPIPE and may block signals in its threads; the program starts as a
    // web server would start it.
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(launch.program.c_str(), vectors.argv.data(), vectors.envp.data());
    ::_exit(127);
}

void fill_exit(int status, process_result& result) {
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.term_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

}  // namespace

process_result run_process(const process_launch& launch) {
    // The child may stop reading standard input early; its exit must not kill the test.
    ::signal(SIGPIPE, SIG_IGN);
    const exec_vectors vectors(launch);
    fd_set_owner parent;

    int in_write = -1, in_read = -1;
    if (!launch.input_file.empty()) {
        in_read = parent.keep(open_or_throw(launch.input_file, O_RDONLY));
    } else if (launch.input_as == input_via::regular_file) {
        in_read = parent.keep(bytes_as_file(launch.input));
    } else {
        int fds[2];
        make_pipe(fds);
        in_read = parent.keep(fds[0]);
        in_write = parent.keep(fds[1]);
    }
    int out_pipe[2] = {-1, -1}, err_pipe[2];
    if (launch.output == output_to::captured) make_pipe(out_pipe);
    make_pipe(err_pipe);
    int out_fd = out_pipe[0] >= 0 ? parent.keep(out_pipe[0]) : -1;
    int err_fd = parent.keep(err_pipe[0]);
    int child_out = out_pipe[1] >= 0 ? parent.keep(out_pipe[1]) : -1;
    int child_err = parent.keep(err_pipe[1]);

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) become(launch, vectors, in_read, child_out, child_err);
    parent.close(in_read);
    parent.close(child_out);
    parent.close(child_err);

    process_result result;
    if (in_write >= 0 && launch.input.empty()) parent.close(in_write);
    if (in_write >= 0) ::fcntl(in_write, F_SETFL, O_NONBLOCK);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(launch.deadline_seconds);
    bool is_killed = false;
    std::size_t written = 0;
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3];
        int count = 0;
        if (in_write >= 0) fds[count++] = {in_write, POLLOUT, 0};
        if (out_fd >= 0) fds[count++] = {out_fd, POLLIN, 0};
        if (err_fd >= 0) fds[count++] = {err_fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int ready = ::poll(
            fds, count, is_killed ? -1 : static_cast<int>(std::max<long long>(0, left.count())));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) throw std::runtime_error("poll failed");
        if (ready == 0) {
            ::kill(pid, SIGKILL);
            is_killed = true;
            continue;
        }
        for (int i = 0; i < count; i++) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in_write) {
                const ssize_t n =
                    ::write(in_write, launch.input.data() + written, launch.input.size() - written);
                if (n > 0) written += static_cast<std::size_t>(n);
                // A reader that has gone takes no more; the rest is not sent.
                if (n < 0 && errno != EAGAIN) written = launch.input.size();
                if (written == launch.input.size()) parent.close(in_write);
                continue;
            }
            char buffer[65536];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (fds[i].fd == out_fd ? result.out : result.err)
                    .append(buffer, static_cast<std::size_t>(n));
            } else {
                parent.close(fds[i].fd == out_fd ? out_fd : err_fd);
            }
        }
    }
    fill_exit(reap(pid), result);
    return result;
}

started_process::started_process(const process_launch& launch) {
    const exec_vectors vectors(launch);
    fd_set_owner parent;
    int in_fd = launch.input_fd;
    if (in_fd < 0) {
        in_fd = parent.keep(launch.input_file.empty() ? bytes_as_file(launch.input)
                                                      : open_or_throw(launch.input_file, O_RDONLY));
    }
    const int null_fd = parent.keep(open_or_throw("/dev/null", O_WRONLY));
    const int err_fd =
        launch.error_file.empty()
            ? null_fd
            : parent.keep(open_or_throw(launch.error_file, O_WRONLY | O_CREAT | O_TRUNC));
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        become(launch, vectors, in_fd, launch.output == output_to::closed ? -1 : null_fd, err_fd);
    }
}

started_process::~started_process() {
    if (pid_ < 0) return;
    ::kill(pid_, SIGKILL);
    reap(pid_);
}

bool started_process::signal(int signal) const {
    return pid_ >= 0 && ::kill(pid_, signal) == 0;
}

process_result started_process::wait() {
    process_result result;
    if (pid_ < 0) return result;
    fill_exit(reap(pid_), result);
    pid_ = -1;
    return result;
}

std::optional<process_result> started_process::wait_for(int timeout_ms) {
    process_result result;
    if (pid_ < 0) return result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            fill_exit(status, result);
            pid_ = -1;
            return result;
        }
        if (done < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        ::usleep(5000);
    }
}

bool run_forked(const std::function<bool()>& body, rlim_t file_size_limit) {
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{file_size_limit, file_size_limit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(body() ? 0 : 1);
    }
    const int status = reap(pid);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace velto_test
