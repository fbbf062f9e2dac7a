// atoms.cpp: atom registration and lookup.
#include "atoms/atoms.h"

#include "base/io.h"
#include "base/text.h"
#include "store/store.h"

pair_outcome register_atom(const char* string, int32_t atom) {
    ensure_store_dirs();
    char store_name[NAME_BUFFER_SIZE];
    escape_store_name(string, store_name);
    return store_atom_pair(store_name, atom, string);
}

lookup find_atom(const char* string, int32_t* atom) {
    char store_name[NAME_BUFFER_SIZE];
    escape_store_name(string, store_name);
    const fd_owner fd = open_store_file(file_kind::atom, store_name);
    if (!fd) return lookup::not_found;
    // What follows the number is ignored, so no more of the file is read than a sound one holds.
    char text[MAX_ATOM_FILE_SIZE + 1];
    const ssize_t size = read_up_to(fd.get(), text, sizeof text - 1);
    if (size < 0) return lookup::corrupt;
    text[size] = '\0';
    return read_atom_text(text, atom) ? lookup::found : lookup::corrupt;
}

lookup find_atom_string(int32_t atom, char (&line)[ATOM_LINE_BUFFER_SIZE]) {
    char name[ATOM_FILE_TEXT_SIZE];
    if (!format_into(name, sizeof name, "%d", atom)) return lookup::not_found;
    const fd_owner fd = open_store_file(file_kind::atom_value, name);
    if (!fd) return lookup::not_found;
    const ssize_t size = read_up_to(fd.get(), line, sizeof line - 1);
    if (size <= 0) return lookup::corrupt;
    end_first_line(line, static_cast<std::size_t>(size));
    return lookup::found;
}
