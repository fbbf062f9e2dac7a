// atoms.cpp: atom registration and lookup.
#include "atoms/atoms.h"

#include "base/text.h"
#include "store/store.h"

pair_outcome register_atom(const char* string, int32_t atom) {
    ensure_store_dirs();
    char store_name[NAME_BUFFER_SIZE];
    escape_store_name(string, store_name);
    return store_atom_pair(store_name, atom, string);
}

namespace {

lookup lookup_of(read_status status) {
    switch (status) {
        case read_status::read:
            return lookup::found;
        case read_status::missing:
            return lookup::not_found;
        case read_status::not_regular:
        case read_status::too_large:
        case read_status::failed:
            break;
    }
    return lookup::corrupt;
}

}  // namespace

lookup find_atom(const char* string, int32_t* atom) {
    char store_name[NAME_BUFFER_SIZE];
    escape_store_name(string, store_name);
    // What follows the number is ignored, so no more of the file is read than a sound one holds.
    char text[MAX_ATOM_FILE_SIZE + 1];
    std::size_t size = 0;
    const lookup found =
        lookup_of(read_store_prefix(file_kind::atom, store_name, text, sizeof text - 1, &size));
    if (found != lookup::found) return found;
    text[size] = '\0';
    return read_atom_text(text, atom) ? lookup::found : lookup::corrupt;
}

lookup find_atom_string(int32_t atom, char (&line)[ATOM_LINE_BUFFER_SIZE]) {
    char name[ATOM_FILE_TEXT_SIZE];
    if (!format_atom_value_name(atom, name)) return lookup::not_found;
    std::size_t size = 0;
    const lookup found =
        lookup_of(read_store_prefix(file_kind::atom_value, name, line, sizeof line - 1, &size));
    if (found != lookup::found) return found;
    if (size == 0) return lookup::corrupt;
    end_first_line(line, size);
    return lookup::found;
}
