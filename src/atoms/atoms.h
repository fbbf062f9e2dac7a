// atoms.h: the atom registry, a two-way map between strings and atoms (0 to 2^31 - 1).
//
// The two directions are separate files that need not agree: registering a string again with
// a new atom leaves the old atom's value file naming the string, and registering an atom again
// with a new string leaves the old string's atom file holding the atom. Neither direction
// escapes or unescapes anything: strings go back exactly as they were sent.
#ifndef VELTO_ATOMS_ATOMS_H
#define VELTO_ATOMS_ATOMS_H

// POST /v1/atoms with the fields "string" and "atom". `request_body` is the NUL-terminated body
// or null. Replaces the atom file of the string's store name, then the atom value file of the
// atom; a failure of the second leaves the first in place.
void handle_atom_post(const char* request_body);

// GET /v1/atoms/by-string/<segment>: the segment is percent-decoded (at most 511 bytes) and
// escaped to its store name; answers the atom that the atom file holds.
void handle_atom_by_string(const char* segment);

// GET /v1/atoms/by-value/<segment>: the segment is read as atoi reads it; answers the first
// line of that atom's value file, at most 511 bytes, without its line feed.
void handle_atom_by_value(const char* segment);

#endif  // VELTO_ATOMS_ATOMS_H
