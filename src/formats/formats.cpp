// formats.cpp: format registration and retrieval.
#include "formats/formats.h"

#include <cstring>
#include <string_view>

#include "base/text.h"
#include "qsr.h"
#include "store/files.h"

registration register_format(heap_text hex_text, char (&id_text)[ID_TEXT_BUFFER_SIZE]) {
    const std::size_t size = std::strlen(hex_text.get()) / 2;
    const heap_ptr<unsigned char> representation(static_cast<unsigned char*>(qsr_malloc(size)));
    if (!representation) return registration::failed;
    if (hex_decode(hex_text.get(), representation.get()) < 0) return registration::invalid_hex;
    hex_text.reset();  // the body can be 10 MiB; its hex copy is not kept beside the bytes
    if (declared_length(representation.get()) > size) return registration::length_mismatch;
    if (!server_id_text(representation.get(), id_text)) return registration::failed;
    const std::string_view bytes(reinterpret_cast<const char*>(representation.get()), size);
    return store_format_file(id_text, bytes) == store_outcome::stored ? registration::stored
                                                                      : registration::failed;
}

retrieval fetch_format(const char* id, heap_ptr<unsigned char>* bytes, std::size_t* size) {
    // Stored names are hex digits only; anything that could step out of formats/ or name the
    // directory itself is no format.
    if (*id == '.' || std::strchr(id, '/') != nullptr) return retrieval::not_found;
    switch (read_store_file(file_kind::format, id, MAX_FORMAT_FILE_SIZE, bytes, size)) {
        case read_status::read:
            return retrieval::found;
        case read_status::missing:
            return retrieval::not_found;
        case read_status::not_regular:
        case read_status::too_large:
        case read_status::failed:
            break;
    }
    return retrieval::read_error;
}
