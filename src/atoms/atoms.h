// atoms.h: the atom registry, a two-way map between strings and atoms (0 to 2^31 - 1).
//
// The two directions are separate files that need not agree: registering a string again with
// a new atom leaves the old atom's value file naming the string, and registering an atom again
// with a new string leaves the old string's atom file holding the atom. Neither direction
// escapes or unescapes anything: strings go back exactly as they were sent.
#ifndef VELTO_ATOMS_ATOMS_H
#define VELTO_ATOMS_ATOMS_H

#include <cstdint>

#include "store/files.h"
#include "store/layout.h"

// Registers `string` (raw, as the body carried it) with `atom` (0 or more): the atom file of the
// string's store name, then the atom value file of the atom. The tree is ensured again first, as
// a directory may have vanished since the request began.
pair_outcome register_atom(const char* string, int32_t atom);

enum class lookup {
    found,
    not_found,  // nothing under the name
    corrupt,    // no atom or string in the file, something other than a file under the name,
                // or a store that cannot be reached
};

// The atom of `string` (a decoded path segment) from its atom file.
lookup find_atom(const char* string, int32_t* atom);

// The string of `atom` from its atom value file: its first line, at most
// ATOM_LINE_BUFFER_SIZE - 1 bytes, without its line feed.
lookup find_atom_string(int32_t atom, char (&line)[ATOM_LINE_BUFFER_SIZE]);

#endif  // VELTO_ATOMS_ATOMS_H
