// walk.h: the one walk over a store's files that every command takes, and what reports need
// along the way: the paths of entries, ages, JSON strings and the progress bar that long runs
// show on a terminal.
#ifndef VELTO_ADMIN_WALK_H
#define VELTO_ADMIN_WALK_H

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "store/layout.h"
#include "store/store.h"

// What a command does with the store's files. walk_store calls it for each kind of file and
// each entry of that kind's directory, temporaries included.
class store_visitor {
  public:
    // The kind's directory (its path in `path`) could not be opened, for the reason `error`
    // (an errno value); the walk goes on with the next kind.
    virtual void cannot_open(const file_kind_rules& kind, const char* path, int error) = 0;
    // One entry `name` of the kind's directory, which is open as `dir_fd`. False stops the walk.
    virtual bool visit(const file_kind_rules& kind, int dir_fd, const char* name) = 0;
    // The listing of the kind's directory ended on a read error rather than at its end.
    virtual void listing_failed(const file_kind_rules& kind, const char* path) = 0;

  protected:
    ~store_visitor() = default;
};

// Walks the files below data_dir, kind by kind in FILE_KINDS order, each directory in its
// listing order, with a progress bar labelled `label` when the process shows one. False when a
// visit stopped the walk.
bool walk_store(const char* label, store_visitor& visitor);

// What an entry that is not a regular file is, for messages: "a directory", "a symbolic link"...
const char* kind_of_entry(mode_t mode);

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
