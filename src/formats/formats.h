// formats.h: the format registry: a representation registered under the server ID that the
// format library computes for it, and fetched back by that ID.
#ifndef VELTO_FORMATS_FORMATS_H
#define VELTO_FORMATS_FORMATS_H

#include <cstddef>

#include "base/owners.h"
#include "formats/library.h"

enum class registration {
    stored,           // stored now or before: the first representation stored under an ID stays
    invalid_hex,      // an odd number of digits, or a byte that is no hex digit
    length_mismatch,  // shorter than its header declares
    failed,           // no memory, no ID from the library, or the file could not be written
};

// Registers the representation whose hex text is `hex_text` (at least twice FORMAT_HEADER_SIZE
// digits, which the caller has checked), releasing the text as soon as it is decoded. On
// `stored`, id_text holds the ID's lowercase hex.
registration register_format(heap_text hex_text, char (&id_text)[ID_TEXT_BUFFER_SIZE]);

enum class retrieval {
    found,
    not_found,   // no file under the ID text, or an ID text that names no format file
    read_error,  // something other than a file under the name, a file that cannot be read
                 // whole or is too large to serve, or a store that cannot be reached
};

// The stored bytes under the ID text `id` (non-empty, used without decoding or case folding):
// on `found`, *bytes holds *size bytes from qsr_malloc, which the caller releases.
retrieval fetch_format(const char* id, heap_ptr<unsigned char>* bytes, std::size_t* size);

#endif  // VELTO_FORMATS_FORMATS_H
