// walk.cpp: directory scans, whole-file reads, report paths and the progress bar.
#include "admin/walk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cgi/codecs.h"
#include "cgi/owners.h"

namespace {

bool progress_wanted = false;
bool is_bar_shown = false;

constexpr int64_t PROGRESS_DELAY_MS = 300;
constexpr int64_t PROGRESS_INTERVAL_MS = 150;
constexpr int PROGRESS_BAR_WIDTH = 30;

int64_t monotonic_ms() {
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Length of the UTF-8 sequence that starts at `text`, or 0 when none does.
std::size_t utf8_sequence_length(const unsigned char* text) {
    const unsigned char lead = text[0];
    std::size_t length = 0;
    if (lead >= 0xc2 && lead <= 0xdf)
        length = 2;
    else if (lead >= 0xe0 && lead <= 0xef)
        length = 3;
    else if (lead >= 0xf0 && lead <= 0xf4)
        length = 4;
    else
        return 0;
    for (std::size_t i = 1; i < length; i++) {
        if ((text[i] & 0xc0) != 0x80) return 0;
    }
    // Overlong forms, surrogates and code points beyond U+10FFFF are not UTF-8.
    if (lead == 0xe0 && text[1] < 0xa0) return 0;
    if (lead == 0xed && text[1] > 0x9f) return 0;
    if (lead == 0xf0 && text[1] < 0x90) return 0;
    if (lead == 0xf4 && text[1] > 0x8f) return 0;
    return length;
}

}  // namespace

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

byte_buffer::~byte_buffer() {
    std::free(data_);
}

bool byte_buffer::reserve(std::size_t size) noexcept {
    if (size <= capacity_ && data_ != nullptr) return true;
    // One byte more than asked, so that a caller may end the contents with a NUL.
    void* grown = std::realloc(data_, size + 1);
    if (grown == nullptr) return false;
    data_ = static_cast<unsigned char*>(grown);
    capacity_ = size;
    return true;
}

read_status read_entry(int dir_fd, const char* name, std::size_t limit, byte_buffer& out,
                       struct stat* status) {
    out.set_size(0);
    if (::fstatat(dir_fd, name, status, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? read_status::missing : read_status::failed;
    }
    if (!S_ISREG(status->st_mode)) return read_status::not_regular;
    if (status->st_size < 0 || static_cast<uint64_t>(status->st_size) > limit) {
        return read_status::too_large;
    }
    fd_owner fd(::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return errno == ENOENT ? read_status::missing : read_status::failed;
    // Queried again on the open file: the entry may have been replaced since the first query.
    if (::fstat(fd.get(), status) != 0) return read_status::failed;
    if (!S_ISREG(status->st_mode)) return read_status::not_regular;
    if (static_cast<uint64_t>(status->st_size) > limit) return read_status::too_large;
    const auto size = static_cast<std::size_t>(status->st_size);
    if (!out.reserve(size)) return read_status::failed;
    std::size_t done = 0;
    // One byte past the size is asked for, so a file that grew since fstat is seen as changed.
    while (done <= size) {
        const ssize_t count = ::read(fd.get(), out.data() + done, size + 1 - done);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return read_status::failed;
        if (count == 0) break;
        done += static_cast<std::size_t>(count);
    }
    if (done != size) return read_status::failed;
    out.set_size(size);
    return read_status::read;
}

const char* kind_of_entry(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return S_ISREG(mode) ? "a regular file" : "of an unknown kind";
}

uint64_t count_entries(const char* path) {
    directory_scan scan(path);
    uint64_t count = 0;
    while (scan.next() != nullptr) count++;
    return count;
}

void entry_path(char (&out)[PATH_BUFFER_SIZE], const char* label, const char* name) {
    if (*label == '\0') {
        std::snprintf(out, sizeof out, "%s/%s", data_dir, name);
    } else {
        std::snprintf(out, sizeof out, "%s/%s/%s", data_dir, label, name);
    }
}

int64_t age_seconds(const struct stat& status) {
    const int64_t age = static_cast<int64_t>(std::time(nullptr)) - status.st_mtim.tv_sec;
    return age > 0 ? age : 0;
}

void put_json_string(std::FILE* out, const char* text) {
    std::fputc('"', out);
    const auto* at = reinterpret_cast<const unsigned char*>(text);
    while (*at != '\0') {
        if (*at == '"' || *at == '\\') {
            std::fputc('\\', out);
            std::fputc(*at++, out);
        } else if (*at < 0x20 || *at == 0x7f) {
            std::fprintf(out, "\\u%04x", *at++);
        } else if (*at < 0x80) {
            std::fputc(*at++, out);
        } else if (const std::size_t length = utf8_sequence_length(at)) {
            std::fwrite(at, 1, length, out);
            at += length;
        } else {
            std::fprintf(out, "\\u%04x", *at++);
        }
    }
    std::fputc('"', out);
}

void progress_meter::enable(bool is_wanted) {
    progress_wanted = is_wanted;
}

bool progress_meter::is_enabled() {
    return progress_wanted;
}

void progress_meter::begin(const char* label, uint64_t total) noexcept {
    finish();
    label_ = label;
    total_ = total;
    done_ = 0;
    if (is_enabled()) started_ms_ = monotonic_ms();
}

void progress_meter::draw(bool force) noexcept {
    const int64_t now = monotonic_ms();
    if (!force && (now - started_ms_ < PROGRESS_DELAY_MS || now - drawn_ms_ < PROGRESS_INTERVAL_MS))
        return;
    drawn_ms_ = now;
    is_bar_shown = true;
    if (total_ == 0) {
        std::fprintf(stderr, "\r%-8s %llu\033[K", label_, static_cast<unsigned long long>(done_));
        return;
    }
    const uint64_t shown = done_ < total_ ? done_ : total_;
    const int filled = static_cast<int>(shown * PROGRESS_BAR_WIDTH / total_);
    char bar[PROGRESS_BAR_WIDTH + 1];
    for (int i = 0; i < PROGRESS_BAR_WIDTH; i++) bar[i] = i < filled ? '#' : '.';
    bar[PROGRESS_BAR_WIDTH] = '\0';
    std::fprintf(stderr, "\r%-8s [%s] %3d%% %llu/%llu\033[K", label_, bar,
                 static_cast<int>(shown * 100 / total_), static_cast<unsigned long long>(done_),
                 static_cast<unsigned long long>(total_));
}

void progress_meter::wipe() noexcept {
    if (is_bar_shown) std::fputs("\r\033[K", stderr);
    is_bar_shown = false;
}

void progress_meter::finish() noexcept {
    wipe();
    total_ = 0;
    done_ = 0;
}
