// walk.h: what every command needs to go through a store: directory scans that report their
// own read errors, whole-file reads into a reusable buffer, the paths of findings, and the
// progress bar that long runs show on a terminal.
#ifndef VELTO_ADMIN_WALK_H
#define VELTO_ADMIN_WALK_H

#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "store/store.h"

// The three directories that hold files, in the order every command walks them.
struct store_directory {
    const char* path_template;  // a template of store.h
    const char* label;          // for progress and messages
};
inline constexpr store_directory FILE_DIRECTORIES[] = {
    {PATH_FORMATS, "formats"},
    {PATH_ATOM_STRINGS, "atoms/s"},
    {PATH_ATOM_VALUES, "atoms/v"},
};

// Owns an open directory stream. next() skips "." and ".."; after it returned null, failed()
// says whether the listing ended on a read error rather than at its end.
class directory_scan {
  public:
    explicit directory_scan(const char* path) noexcept;
    directory_scan(const directory_scan&) = delete;
    directory_scan& operator=(const directory_scan&) = delete;
    ~directory_scan();

    explicit operator bool() const noexcept { return stream_ != nullptr; }
    int fd() const noexcept;
    const char* next() noexcept;
    bool failed() const noexcept { return failed_; }

  private:
    DIR* stream_;
    bool failed_ = false;
};

// A growable heap block for file contents, released with free.
class byte_buffer {
  public:
    byte_buffer() = default;
    byte_buffer(const byte_buffer&) = delete;
    byte_buffer& operator=(const byte_buffer&) = delete;
    ~byte_buffer();

    // False, leaving the old contents, when `size` bytes cannot be had.
    bool reserve(std::size_t size) noexcept;
    unsigned char* data() noexcept { return data_; }
    const unsigned char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    void set_size(std::size_t size) noexcept { size_ = size; }

  private:
    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

enum class read_status { read, missing, not_regular, too_large, failed };

// Reads the entry `name` of the directory open as `dir_fd` whole into `out`, without following
// a symbolic link. `*status` receives the entry's status whenever it could be queried, also
// for the not_regular and too_large outcomes; a file of more than `limit` bytes is not read.
read_status read_entry(int dir_fd, const char* name, std::size_t limit, byte_buffer& out,
                       struct stat* status);

// What an entry that is not a regular file is, for messages: "a directory", "a symbolic link"...
const char* kind_of_entry(mode_t mode);

// The entries of one directory, counted from its listing alone; 0 when it cannot be read.
uint64_t count_entries(const char* path);

// Forms data_dir/<label>/<name> (or data_dir/<name> for an empty label) for reports; a path
// that would not fit is shown cut, which only a report may do.
void entry_path(char (&out)[PATH_BUFFER_SIZE], const char* label, const char* name);

// Seconds since `status` was last modified, 0 for a time in the future.
int64_t age_seconds(const struct stat& status);

// Writes a JSON string (quotes included) for text that may hold any bytes: quote, backslash and
// control bytes escaped, valid UTF-8 kept, any other byte shown as the code point of its value.
void put_json_string(std::FILE* out, const char* text);

// A progress bar on standard error. enable() decides once for the process; a disabled meter
// costs one test per step. The bar appears only after a run has lasted a moment, is redrawn a
// few times a second at most, and is wiped by finish() so it never mixes with other output.
class progress_meter {
  public:
    static void enable(bool is_wanted);
    static bool is_enabled();

    void begin(const char* label, uint64_t total) noexcept;
    void step() noexcept {
        done_++;
        if (is_enabled() && (done_ & 0xff) == 0) draw(false);
    }
    void finish() noexcept;
    ~progress_meter() { finish(); }
    // Wipes the bar, if one is shown, before other output goes to the terminal; the next
    // redraw brings it back.
    static void wipe() noexcept;

  private:
    void draw(bool force) noexcept;
    const char* label_ = "";
    uint64_t total_ = 0;
    uint64_t done_ = 0;
    int64_t started_ms_ = 0;
    int64_t drawn_ms_ = 0;
};

#endif  // VELTO_ADMIN_WALK_H
