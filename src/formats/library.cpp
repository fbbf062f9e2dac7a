// library.cpp: the binding to libqsr.
#include "formats/library.h"

#include "base/owners.h"
#include "base/text.h"
#include "qsr.h"

uint32_t declared_length(const unsigned char* header) {
    uint32_t length = static_cast<uint32_t>(header[0]) << 8 | header[1];
    if (header[3] != 0) {
        length |= static_cast<uint32_t>(header[6]) << 24 | static_cast<uint32_t>(header[7]) << 16;
    }
    return length;
}

bool server_id_text(const unsigned char* representation, char (&id_text)[ID_TEXT_BUFFER_SIZE]) {
    server_id_record record{0, nullptr};
    generate_format3_server_ID(&record, representation);
    const heap_ptr<unsigned char> value(record.value);
    if (!value || record.length < 1 || record.length > MAX_SERVER_ID_SIZE) return false;
    hex_encode(value.get(), static_cast<std::size_t>(record.length), id_text);
    return true;
}
