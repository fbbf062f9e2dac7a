// write_file.h: the store's one way of writing a file.
//
// The content goes to a new temporary file in the target's own directory, is flushed to disk,
// and only then appears under its final name, after which the directory entry is flushed too.
// So a reader never meets a short, empty or half-written file, a crash leaves at most a
// temporary behind, and success means the bytes are on disk. Everything happens relative to the
// directory's descriptor, so no link in the path is followed once it is open.
#ifndef VELTO_STORE_WRITE_FILE_H
#define VELTO_STORE_WRITE_FILE_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

enum class write_mode {
    create_only,  // link into place; an entry already under the final name wins and stays
    replace,      // rename over whatever the final name held
};

enum class write_result {
    written,
    already_present,  // create_only found an entry under the final name; nothing was changed,
                      // and that entry and its directory have been flushed to disk
    failed,           // nothing new is under the final name and no temporary is left
};

// Prefix of every temporary file name. It begins with '.', so the health report never counts a
// temporary, and it holds '~', which no store name, ID text or decimal atom can hold, so no
// request ever names one.
inline constexpr char TEMP_NAME_PREFIX[] = ".velto~";

// Writes the concatenation of `pieces` as the entry `name` of the directory open as `dir_fd`.
// `name_room` is the longest name that the directory's path leaves room for in a store path: a
// temporary whose path would not fit is never made. One exception to "failed leaves nothing new": when everything but the final flush of the
// directory succeeded, the complete file is in place and the call still reports failure,
// because its durability is not assured.
write_result write_store_file(int dir_fd, const char* name,
                              std::initializer_list<std::string_view> pieces, write_mode mode,
                              std::size_t name_room = SIZE_MAX);

// Flushes the entry `name` of the directory open as `dir_fd` (its content, when it is a regular
// file) and then the directory, so that an entry another process put in place may be
// acknowledged as stored: that process may not have flushed it yet, and may never. False when a
// flush failed.
bool sync_store_entry(int dir_fd, const char* name);

#endif  // VELTO_STORE_WRITE_FILE_H
