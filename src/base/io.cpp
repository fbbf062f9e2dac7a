// io.cpp: whole reads and writes, and the directory listing owner.
#include "base/io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/owners.h"

ssize_t read_up_to(int fd, void* out, std::size_t capacity) {
    auto* at = static_cast<unsigned char*>(out);
    std::size_t done = 0;
    while (done < capacity) {
        const ssize_t count = ::read(fd, at + done, capacity - done);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return -1;
        if (count == 0) break;
        done += static_cast<std::size_t>(count);
    }
    return static_cast<ssize_t>(done);
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

directory_scan::directory_scan(int fd) noexcept : stream_(fd >= 0 ? ::fdopendir(fd) : nullptr) {
    if (stream_ == nullptr && fd >= 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
    }
}

directory_scan::directory_scan(const char* path) noexcept : stream_(::opendir(path)) {}

directory_scan::~directory_scan() {
    if (stream_ != nullptr) ::closedir(stream_);
}

int directory_scan::fd() const noexcept {
    return stream_ == nullptr ? -1 : ::dirfd(stream_);
}

const char* directory_scan::next() noexcept {
    if (stream_ == nullptr) return nullptr;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream_);
        if (entry == nullptr) {
            failed_ = errno != 0;
            return nullptr;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) return name;
    }
}
