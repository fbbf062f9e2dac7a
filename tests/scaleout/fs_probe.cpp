// fs_probe: the file-system semantics that the store relies on, tried across two mounts of one
// volume (two directories A and B that show the same files, as two web hosts see the store).
//
//   fs_probe excl DIR_A DIR_B ROUNDS       O_CREAT|O_EXCL raced from both mounts onto one name
//   fs_probe link DIR_A DIR_B ROUNDS       link() raced from both mounts onto one name
//   fs_probe rename DIR_A DIR_B ROUNDS     rename() over one name on A while B reads that name
//   fs_probe sync DIR ROUNDS               fsync of new files and of their directory
//   fs_probe readdir DIR_A DIR_B COUNT     names made on A, counted by readdir on B
//   fs_probe visible DIR_A DIR_B ROUNDS [--measure]
//                                          a name that B has just found missing is created, or a
//                                          file B has just read is replaced, on A; B must see the
//                                          new state at its first look (--measure: only report
//                                          how long it took)
//
// Each prints one line of figures and exits 0 when every rule held, 1 when one was broken, 2 on a
// usage error or when the test itself could not run. An open that fails with ESTALE is retried
// once, as the program's readers do; a second ESTALE in a row breaks the rule.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

int failures = 0;

void fail(const char* what, const std::string& detail) {
    failures++;
    if (failures <= 20) std::printf("FAIL %s: %s\n", what, detail.c_str());
}

std::string join(const std::string& dir, const std::string& name) { return dir + "/" + name; }

bool write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes a whole file and flushes it, as the store writes its temporaries.
bool write_file(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool is_written = write_all(fd, bytes) && ::fsync(fd) == 0;
    return ::close(fd) == 0 && is_written;
}

enum class read_outcome { ok, missing, stale, error };

// Reads a whole file; an ESTALE open or read is retried once, then counted as `stale`.
read_outcome read_file(const std::string& path, std::string* out, int* stale_retries) {
    for (int attempt = 0; attempt < 2; attempt++) {
        out->clear();
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT) return read_outcome::missing;
            if (errno == ESTALE) {
                (*stale_retries)++;
                continue;
            }
            return read_outcome::error;
        }
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0) out->append(buffer, static_cast<std::size_t>(n));
        const int read_errno = errno;
        ::close(fd);
        if (n == 0) return read_outcome::ok;
        if (read_errno != ESTALE) return read_outcome::error;
        (*stale_retries)++;
    }
    return read_outcome::stale;
}

// A version of a file that tells by itself whether it was read whole and unmixed: a header with
// its number and length, then a filler byte that depends on the number.
std::string version_bytes(unsigned version) {
    const std::size_t length = 64 + (version * 7919u) % 40000u;
    char header[64];
    std::snprintf(header, sizeof header, "v%010u len%010zu\n", version, length);
    std::string bytes(header);
    bytes.resize(length, static_cast<char>('a' + version % 26));
    return bytes;
}

bool is_whole_version(const std::string& bytes, unsigned* version) {
    std::size_t length = 0;
    if (std::sscanf(bytes.c_str(), "v%10u len%10zu\n", version, &length) != 2) return false;
    return bytes.size() == length && bytes == version_bytes(*version);
}

// Two child processes that do one operation per round, started together by a byte on their
// pipes; each answers with one int. The parent collects both answers of each round.
struct racer {
    pid_t pid = -1;
    int go_fd = -1;
    int answer_fd = -1;
};

template <typename Operation>
racer start_racer(Operation operation) {
    int go[2], answer[2];
    if (::pipe(go) != 0 || ::pipe(answer) != 0) {
        std::perror("pipe");
        std::exit(2);
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (pid == 0) {
        ::close(go[1]);
        ::close(answer[0]);
        int round;
        // A negative round ends the racer: the other racer's child holds a copy of this one's
        // pipe, so no end of file would ever come.
        while (::read(go[0], &round, sizeof round) == sizeof round && round >= 0) {
            const int result = operation(round);
            if (::write(answer[1], &result, sizeof result) != sizeof result) ::_exit(2);
        }
        ::_exit(0);
    }
    ::close(go[0]);
    ::close(answer[1]);
    return racer{pid, go[1], answer[0]};
}

void race_round(racer& a, racer& b, int round, int* answer_a, int* answer_b) {
    if (::write(a.go_fd, &round, sizeof round) != sizeof round ||
        ::write(b.go_fd, &round, sizeof round) != sizeof round ||
        ::read(a.answer_fd, answer_a, sizeof *answer_a) != sizeof *answer_a ||
        ::read(b.answer_fd, answer_b, sizeof *answer_b) != sizeof *answer_b) {
        std::fprintf(stderr, "fs_probe: a racer died\n");
        std::exit(2);
    }
}

void stop_racer(racer& r) {
    const int end = -1;
    if (::write(r.go_fd, &end, sizeof end) != sizeof end) std::perror("fs_probe: stopping a racer");
    ::close(r.go_fd);
    ::close(r.answer_fd);
    int status = 0;
    ::waitpid(r.pid, &status, 0);
}

// 0: this racer made the name; EEXIST: the other one had; anything else: the errno.
int probe_excl(int argc, char** argv) {
    if (argc != 5) return 2;
    const std::string dir_a = argv[2], dir_b = argv[3];
    const int rounds = std::atoi(argv[4]);
    auto make = [](const std::string& dir) {
        return [dir](int round) {
            const std::string path = join(dir, "excl-" + std::to_string(round));
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0) return errno;
            ::close(fd);
            return 0;
        };
    };
    racer a = start_racer(make(dir_a)), b = start_racer(make(dir_b));
    int wins_a = 0, wins_b = 0;
    for (int round = 0; round < rounds; round++) {
        int answer_a, answer_b;
        race_round(a, b, round, &answer_a, &answer_b);
        wins_a += answer_a == 0;
        wins_b += answer_b == 0;
        const bool is_exclusive = (answer_a == 0 && answer_b == EEXIST) || (answer_a == EEXIST && answer_b == 0);
        if (!is_exclusive) {
            fail("excl", "round " + std::to_string(round) + ": A " + std::strerror(answer_a) + ", B " +
                             std::strerror(answer_b));
        }
    }
    stop_racer(a);
    stop_racer(b);
    std::printf("excl: %d rounds, A won %d, B won %d, %d broken\n", rounds, wins_a, wins_b, failures);
    return failures == 0 ? 0 : 1;
}

// Each racer writes its own whole temporary (different lengths, so a mixed file shows), then
// links it onto the shared name, as a format registration does.
int probe_link(int argc, char** argv) {
    if (argc != 5) return 2;
    const std::string dir_a = argv[2], dir_b = argv[3];
    const int rounds = std::atoi(argv[4]);
    auto make = [](const std::string& dir, unsigned side) {
        return [dir, side](int round) {
            const std::string temp = join(dir, ".tmp-" + std::to_string(side) + "-" + std::to_string(round));
            if (!write_file(temp, version_bytes(static_cast<unsigned>(round) * 2 + side))) return errno;
            const int result = ::link(temp.c_str(), join(dir, "link-" + std::to_string(round)).c_str()) == 0 ? 0 : errno;
            ::unlink(temp.c_str());
            return result;
        };
    };
    racer a = start_racer(make(dir_a, 0)), b = start_racer(make(dir_b, 1));
    int wins_a = 0, wins_b = 0, stale_retries = 0;
    for (int round = 0; round < rounds; round++) {
        int answer_a, answer_b;
        race_round(a, b, round, &answer_a, &answer_b);
        wins_a += answer_a == 0;
        wins_b += answer_b == 0;
        const std::string where = "round " + std::to_string(round);
        const bool is_exclusive = (answer_a == 0 && answer_b == EEXIST) || (answer_a == EEXIST && answer_b == 0);
        if (!is_exclusive) {
            fail("link", where + ": A " + std::strerror(answer_a) + ", B " + std::strerror(answer_b));
            continue;
        }
        const unsigned winner = static_cast<unsigned>(round) * 2 + (answer_a == 0 ? 0 : 1);
        for (const std::string& dir : {dir_a, dir_b}) {
            std::string bytes;
            unsigned version = 0;
            const read_outcome outcome = read_file(join(dir, "link-" + std::to_string(round)), &bytes, &stale_retries);
            if (outcome != read_outcome::ok || !is_whole_version(bytes, &version) || version != winner) {
                fail("link", where + ": " + dir + " does not hold the winner's bytes whole");
            }
        }
    }
    stop_racer(a);
    stop_racer(b);
    std::printf("link: %d rounds, A won %d, B won %d, %d ESTALE retried, %d broken\n", rounds, wins_a, wins_b,
                stale_retries, failures);
    return failures == 0 ? 0 : 1;
}

// A replaces the name ROUNDS times by rename(), as an atom registration does; B reads the name
// the whole time. Every read must find a whole version, never no file and never a mix.
int probe_rename(int argc, char** argv) {
    if (argc != 5) return 2;
    const std::string dir_a = argv[2], dir_b = argv[3];
    const int rounds = std::atoi(argv[4]);
    const std::string name_a = join(dir_a, "renamed"), name_b = join(dir_b, "renamed");
    if (!write_file(join(dir_a, ".tmp-first"), version_bytes(0)) ||
        ::rename(join(dir_a, ".tmp-first").c_str(), name_a.c_str()) != 0) {
        std::perror("fs_probe rename: first version");
        return 2;
    }
    int done_pipe[2];
    if (::pipe(done_pipe) != 0) return 2;
    const pid_t writer = ::fork();
    if (writer == 0) {
        ::close(done_pipe[0]);
        int status = 0;
        for (int round = 1; round <= rounds && status == 0; round++) {
            const std::string temp = join(dir_a, ".tmp-" + std::to_string(round));
            if (!write_file(temp, version_bytes(static_cast<unsigned>(round))) ||
                ::rename(temp.c_str(), name_a.c_str()) != 0) {
                std::perror("fs_probe rename: writer");
                status = 1;
            }
        }
        ::_exit(status);
    }
    ::close(done_pipe[1]);
    long reads = 0, missing = 0, broken = 0, stale = 0, errors = 0;
    int stale_retries = 0;
    unsigned newest = 0, going_back = 0;
    for (;;) {
        int status = 0;
        const bool is_writer_done = ::waitpid(writer, &status, WNOHANG) == writer;
        std::string bytes;
        const read_outcome outcome = read_file(name_b, &bytes, &stale_retries);
        reads++;
        unsigned version = 0;
        switch (outcome) {
            case read_outcome::ok:
                if (!is_whole_version(bytes, &version)) {
                    broken++;
                    fail("rename", "read " + std::to_string(reads) + ": " + std::to_string(bytes.size()) +
                                       " bytes, not one whole version");
                } else {
                    if (version < newest) going_back++;
                    newest = std::max(newest, version);
                }
                break;
            case read_outcome::missing:
                missing++;
                fail("rename", "read " + std::to_string(reads) + ": the name was missing");
                break;
            case read_outcome::stale:
                stale++;
                fail("rename", "read " + std::to_string(reads) + ": ESTALE twice in a row");
                break;
            case read_outcome::error:
                errors++;
                fail("rename", "read " + std::to_string(reads) + ": " + std::strerror(errno));
                break;
        }
        if (is_writer_done) {
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 2;
            break;
        }
    }
    std::printf("rename: %d replacements, %ld reads, %ld missing, %ld short or mixed, %ld ESTALE twice, "
                "%d ESTALE retried, %ld other errors, %u older after newer, last seen %u\n",
                rounds, reads, missing, broken, stale, stale_retries, errors, going_back, newest);
    return failures == 0 ? 0 : 1;
}

int probe_sync(int argc, char** argv) {
    if (argc != 4) return 2;
    const std::string dir = argv[2];
    const int rounds = std::atoi(argv[3]);
    for (int round = 0; round < rounds; round++) {
        const std::string path = join(dir, "sync-" + std::to_string(round));
        if (!write_file(path, version_bytes(static_cast<unsigned>(round)))) {
            fail("sync", path + ": " + std::strerror(errno));
            continue;
        }
        const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_CLOEXEC);
        if (dir_fd < 0 || ::fsync(dir_fd) != 0) fail("sync", dir + ": " + std::strerror(errno));
        if (dir_fd >= 0) ::close(dir_fd);
    }
    std::printf("sync: %d files and directory flushes, %d broken\n", rounds, failures);
    return failures == 0 ? 0 : 1;
}

int count_entries(const std::string& dir) {
    DIR* stream = ::opendir(dir.c_str());
    if (stream == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) count++;
    }
    ::closedir(stream);
    return count;
}

int probe_readdir(int argc, char** argv) {
    if (argc != 5) return 2;
    const std::string dir_a = argv[2], dir_b = argv[3];
    const int count = std::atoi(argv[4]);
    if (::mkdir(join(dir_a, "listed").c_str(), 0755) != 0) return 2;
    int seen_before = count_entries(join(dir_b, "listed"));
    for (int i = 0; i < count; i++) {
        if (!write_file(join(dir_a, "listed/" + std::to_string(i)), "x")) fail("readdir", std::strerror(errno));
    }
    const int seen_a = count_entries(join(dir_a, "listed"));
    const int seen_b = count_entries(join(dir_b, "listed"));
    if (seen_before != 0 || seen_a != count || seen_b != count) {
        fail("readdir", "made " + std::to_string(count) + ", A lists " + std::to_string(seen_a) + ", B lists " +
                            std::to_string(seen_b) + " (before: " + std::to_string(seen_before) + ")");
    }
    std::printf("readdir: %d names made on A, A lists %d, B lists %d, %d broken\n", count, seen_a, seen_b,
                failures);
    return failures == 0 ? 0 : 1;
}

// Waits until `is_seen` holds, for at most 10 s; the milliseconds it took, or -1.
template <typename Predicate>
double wait_seen(Predicate is_seen, bool* is_first_look) {
    const auto start = steady::now();
    *is_first_look = is_seen();
    if (*is_first_look) return 0;
    while (steady::now() - start < std::chrono::seconds(10)) {
        if (is_seen()) return std::chrono::duration<double, std::milli>(steady::now() - start).count();
        ::usleep(1000);
    }
    return -1;
}

int probe_visible(int argc, char** argv) {
    if (argc != 5 && argc != 6) return 2;
    const std::string dir_a = argv[2], dir_b = argv[3];
    const int rounds = std::atoi(argv[4]);
    const bool is_measure_only = argc == 6 && std::strcmp(argv[5], "--measure") == 0;
    int stale_retries = 0;
    int created_late = 0, replaced_late = 0;
    double created_worst = 0, replaced_worst = 0;
    for (int round = 0; round < rounds; round++) {
        const std::string name = "visible-" + std::to_string(round);
        std::string bytes;
        // B looks first and finds nothing, as a lookup before the registration does.
        if (read_file(join(dir_b, name), &bytes, &stale_retries) != read_outcome::missing) return 2;
        const std::string temp = join(dir_a, ".tmp-" + name);
        if (!write_file(temp, version_bytes(static_cast<unsigned>(round))) ||
            ::link(temp.c_str(), join(dir_a, name).c_str()) != 0) {
            return 2;
        }
        ::unlink(temp.c_str());
        bool is_first_look = false;
        const double created_ms = wait_seen(
            [&] {
                std::string seen;
                return read_file(join(dir_b, name), &seen, &stale_retries) == read_outcome::ok &&
                       seen == version_bytes(static_cast<unsigned>(round));
            },
            &is_first_look);
        if (!is_first_look) created_late++;
        created_worst = created_ms < 0 ? 10000 : std::max(created_worst, created_ms);
        if (!is_first_look && !is_measure_only) {
            fail("visible", name + ": created on A, seen on B after " + std::to_string(created_ms) + " ms");
        }

        // Replaced on A while B has the old version in view.
        const unsigned replacement = static_cast<unsigned>(round) + 1000000;
        if (!write_file(temp, version_bytes(replacement)) || ::rename(temp.c_str(), join(dir_a, name).c_str()) != 0) {
            return 2;
        }
        const double replaced_ms = wait_seen(
            [&] {
                std::string seen;
                return read_file(join(dir_b, name), &seen, &stale_retries) == read_outcome::ok &&
                       seen == version_bytes(replacement);
            },
            &is_first_look);
        if (!is_first_look) replaced_late++;
        replaced_worst = replaced_ms < 0 ? 10000 : std::max(replaced_worst, replaced_ms);
        if (!is_first_look && !is_measure_only) {
            fail("visible", name + ": replaced on A, seen on B after " + std::to_string(replaced_ms) + " ms");
        }
    }
    std::printf("visible: %d names; created on A and late on B %d times (worst %.0f ms), replaced on A and "
                "late on B %d times (worst %.0f ms), %d ESTALE retried\n",
                rounds, created_late, created_worst, replaced_late, replaced_worst, stale_retries);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string command = argc > 1 ? argv[1] : "";
    int status = 2;
    if (command == "excl") status = probe_excl(argc, argv);
    if (command == "link") status = probe_link(argc, argv);
    if (command == "rename") status = probe_rename(argc, argv);
    if (command == "sync") status = probe_sync(argc, argv);
    if (command == "readdir") status = probe_readdir(argc, argv);
    if (command == "visible") status = probe_visible(argc, argv);
    if (status == 2) std::fprintf(stderr, "fs_probe: cannot run: %s\n", argc > 1 ? argv[1] : "(no command)");
    return status;
}
