// walk.cpp: the walk over the store, report paths and texts, and the progress bar.
#include "admin/walk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/owners.h"
#include "store/files.h"

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

// The entries of all the kinds' directories, counted from their listings alone.
uint64_t count_all_entries() {
    uint64_t count = 0;
    for (const file_kind_rules& kind : FILE_KINDS) {
        directory_scan scan(open_store_directory(kind.kind).release());
        while (scan.next() != nullptr) count++;
    }
    return count;
}

}  // namespace

bool walk_store(const char* label, store_visitor& visitor) {
    progress_meter progress;
    progress.begin(label, progress_meter::is_enabled() ? count_all_entries() : 0);
    for (const file_kind_rules& kind : FILE_KINDS) {
        char path[PATH_BUFFER_SIZE];
        if (!store_path(path, kind.path_template, data_dir)) {
            visitor.cannot_open(kind, data_dir, ENAMETOOLONG);
            continue;
        }
        directory_scan scan(open_store_directory(kind.kind).release());
        if (!scan) {
            visitor.cannot_open(kind, path, errno);
            continue;
        }
        while (const char* name = scan.next()) {
            progress.step();
            if (!visitor.visit(kind, scan.fd(), name)) return false;
        }
        if (scan.failed()) visitor.listing_failed(kind, path);
    }
    return true;
}

const char* kind_of_entry(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return S_ISREG(mode) ? "a regular file" : "of an unknown kind";
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
        const std::size_t length = *at >= 0x80 ? utf8_sequence_length(at) : 0;
        if (*at == '"' || *at == '\\') {
            std::fputc('\\', out);
            std::fputc(*at++, out);
        } else if (*at >= 0x20 && *at < 0x7f) {
            std::fputc(*at++, out);
        } else if (length > 0) {
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
