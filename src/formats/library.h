// library.h: the binding to the format library. Nothing else includes qsr.h's ID interface.
#ifndef VELTO_FORMATS_LIBRARY_H
#define VELTO_FORMATS_LIBRARY_H

#include <cstddef>
#include <cstdint>

// Every format representation begins with an 8-byte header that declares its length.
inline constexpr std::size_t FORMAT_HEADER_SIZE = 8;
// The longest server ID whose answer fits its buffer.
inline constexpr int32_t MAX_SERVER_ID_SIZE = 247;
inline constexpr std::size_t ID_TEXT_BUFFER_SIZE = 512;

// The length that `header` (FORMAT_HEADER_SIZE bytes) declares: bytes 0-1 big-endian, and when
// byte 3 is non-zero, bytes 6-7 big-endian as the upper 16 bits.
uint32_t declared_length(const unsigned char* header);

// Asks the library for the server ID of `representation`, whose declared length the caller has
// checked against its size, and writes it as lowercase hex into id_text. False, with the
// library's block released, when the library hands back no ID or one whose length lies outside
// 1 to MAX_SERVER_ID_SIZE bytes.
bool server_id_text(const unsigned char* representation, char (&id_text)[ID_TEXT_BUFFER_SIZE]);

#endif  // VELTO_FORMATS_LIBRARY_H
