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

// Removes the temporary name on every way out unless the name was consumed by rename().
class temp_name_guard {
  public:
    explicit temp_name_guard(const char* path) noexcept : path_(path) {}
    temp_name_guard(const temp_name_guard&) = delete;
    temp_name_guard& operator=(const temp_name_guard&) = delete;
    ~temp_name_guard() {
        if (path_ != nullptr) ::unlink(path_);
    }
    void release() noexcept { path_ = nullptr; }

  private:
    const char* path_;
};

bool directory_of(const char* path, char (&out)[PATH_BUFFER_SIZE]) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return format_into(out, sizeof out, ".");
    if (slash == path) return format_into(out, sizeof out, "/");
    return format_into(out, sizeof out, "%.*s", static_cast<int>(slash - path), path);
}

// Creates a new temporary file in `directory`; its path is left in `path`.
fd_owner create_temp_file(const char* directory, char (&path)[PATH_BUFFER_SIZE]) {
    const long pid = static_cast<long>(::getpid());
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const unsigned long long stamp = static_cast<unsigned long long>(now.tv_sec) * 1000000000ull +
                                     static_cast<unsigned long long>(now.tv_nsec);
    for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; attempt++) {
        if (!format_into(path, sizeof path, "%s/%s%ld-%llx-%d", directory, TEMP_NAME_PREFIX, pid,
                         stamp, attempt)) {
            break;
        }
        // 0666: the mode fopen gives a new file, less the umask that the CGI host set.
        const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd_owner(fd);
        if (errno != EEXIST) break;
    }
    return fd_owner();
}

// Without this a crash can lose the new directory entry though the file's bytes are on disk.
bool sync_directory(const char* directory) {
    fd_owner fd(::open(directory, O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    const bool is_synced = ::fsync(fd.get()) == 0;
    return fd.close() && is_synced;
}

}  // namespace

write_result write_store_file(const char* final_path,
                              std::initializer_list<std::string_view> pieces, write_mode mode) {
    char directory[PATH_BUFFER_SIZE];
    char temp_path[PATH_BUFFER_SIZE];
    if (!directory_of(final_path, directory)) return write_result::failed;
    fd_owner fd = create_temp_file(directory, temp_path);
    if (!fd) return write_result::failed;
    temp_name_guard guard(temp_path);

    for (const std::string_view piece : pieces) {
        if (!write_all(fd.get(), piece)) return write_result::failed;
    }
    if (::fsync(fd.get()) != 0) return write_result::failed;
    if (!fd.close()) return write_result::failed;

    if (mode == write_mode::create_only) {
        // link(), not rename(): the first stored copy must win a race, and link never replaces.
        if (::link(temp_path, final_path) != 0) {
            return errno == EEXIST ? write_result::already_present : write_result::failed;
        }
        // Dropped before the directory is flushed, so that flush covers the removal as well.
        ::unlink(temp_path);
        guard.release();
    } else {
        if (::rename(temp_path, final_path) != 0) return write_result::failed;
        guard.release();
    }
    return sync_directory(directory) ? write_result::written : write_result::failed;
}
