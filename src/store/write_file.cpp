// write_file.cpp: temporary file, fsync, link or rename, directory fsync.
#include "store/write_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/io.h"
#include "base/owners.h"
#include "base/text.h"
#include "store/store.h"

namespace {

// The name also carries the time, so that temporaries left by a crashed process whose pid was
// reused do not stand in the way; the attempts only step past a clash within one clock tick.
constexpr int TEMP_NAME_ATTEMPTS = 16;
constexpr std::size_t TEMP_NAME_SIZE = 64;

// Removes the temporary name on every way out unless the name was consumed by rename().
class temp_name_guard {
  public:
    temp_name_guard(int dir_fd, const char* name) noexcept : dir_fd_(dir_fd), name_(name) {}
    temp_name_guard(const temp_name_guard&) = delete;
    temp_name_guard& operator=(const temp_name_guard&) = delete;
    ~temp_name_guard() {
        if (name_ != nullptr) ::unlinkat(dir_fd_, name_, 0);
    }
    void release() noexcept { name_ = nullptr; }

  private:
    int dir_fd_;
    const char* name_;
};

// Creates a new temporary file in the directory open as `dir_fd`; its name is left in `name`.
fd_owner create_temp_file(int dir_fd, char (&name)[TEMP_NAME_SIZE], std::size_t name_room) {
    const long pid = static_cast<long>(::getpid());
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const unsigned long long stamp = static_cast<unsigned long long>(now.tv_sec) * 1000000000ull +
                                     static_cast<unsigned long long>(now.tv_nsec);
    for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; attempt++) {
        if (!format_into(name, sizeof name, "%s%ld-%llx-%d", TEMP_NAME_PREFIX, pid, stamp,
                         attempt) ||
            std::strlen(name) > name_room) {
            break;
        }
        // 0666: the mode fopen gives a new file, less the umask that the CGI host set. O_EXCL
        // never follows a link left under the name.
        const int fd =
            ::openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) return fd_owner(fd);
        if (errno != EEXIST) break;
    }
    return fd_owner();
}

}  // namespace

write_result write_store_file(int dir_fd, const char* name,
                              std::initializer_list<std::string_view> pieces, write_mode mode,
                              std::size_t name_room) {
    char temp_name[TEMP_NAME_SIZE];
    fd_owner fd = create_temp_file(dir_fd, temp_name, name_room);
    if (!fd) return write_result::failed;
    temp_name_guard guard(dir_fd, temp_name);

    if (!give_store_owner(dir_fd, nullptr, fd.get())) return write_result::failed;
    for (const std::string_view piece : pieces) {
        if (!write_all(fd.get(), piece)) return write_result::failed;
    }
    if (::fsync(fd.get()) != 0) return write_result::failed;
    if (!fd.close()) return write_result::failed;

    if (mode == write_mode::create_only) {
        // link(), not rename(): the first stored copy must win a race, and link never replaces.
        if (::linkat(dir_fd, temp_name, dir_fd, name, 0) != 0) {
            if (errno != EEXIST) return write_result::failed;
            ::unlinkat(dir_fd, temp_name, 0);
            guard.release();
            // The winner may not have flushed its entry yet (it may even have been killed
            // between its link and its flush): the entry is acknowledged only once it is on disk.
            return sync_store_entry(dir_fd, name) ? write_result::already_present
                                                  : write_result::failed;
        }
        // Dropped before the directory is flushed, so that flush covers the removal as well.
        ::unlinkat(dir_fd, temp_name, 0);
        guard.release();
    } else {
        if (::renameat(dir_fd, temp_name, dir_fd, name) != 0) return write_result::failed;
        guard.release();
    }
    // Without this a crash can lose the new directory entry though the file's bytes are on disk.
    return ::fsync(dir_fd) == 0 ? write_result::written : write_result::failed;
}

bool sync_store_entry(int dir_fd, const char* name) {
    // Only a regular file has content to flush; the entry itself, whatever it is, goes to disk
    // with its directory. O_NONBLOCK: a FIFO under the name must not hold the process.
    const fd_owner fd(::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status;
    if (fd && ::fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode) &&
        ::fsync(fd.get()) != 0) {
        return false;
    }
    return ::fsync(dir_fd) == 0;
}
