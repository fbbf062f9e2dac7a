/* qsr.c: stand-in for the format library.
 *
 * The server ID is the first 16 bytes of the SHA-256 digest of the representation's declared
 * extent. A cryptographic digest matters here: the registry stores the first representation
 * under an ID and answers every later one with that ID as already stored, so an ID that a
 * client could collide on purpose would let it shadow another client's format. */
#include "qsr.h"

#include <sha256.h>
#include <stdlib.h>

enum { HEADER_SIZE = 8, SERVER_ID_SIZE = 16 };

void *qsr_malloc(uint64_t size) {
    if (size > SIZE_MAX) return NULL;
    return malloc(size == 0 ? 1 : (size_t)size);
}

/* Bytes 0-1 hold the low 16 bits of the declared length, big-endian; when byte 3 is non-zero,
   bytes 6-7 hold the high 16 bits. */
static uint32_t declared_length(const unsigned char *header) {
    uint32_t length = ((uint32_t)header[0] << 8) | header[1];
    if (header[3] != 0) length |= ((uint32_t)header[6] << 24) | ((uint32_t)header[7] << 16);
    return length;
}

void generate_format3_server_ID(server_id_record *record, const unsigned char *representation) {
    uint32_t extent = declared_length(representation);
    if (extent < HEADER_SIZE) extent = HEADER_SIZE;

    uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256_CTX context;
    SHA256_Init(&context);
    SHA256_Update(&context, representation, extent);
    SHA256_Final(digest, &context);

    record->length = 0;
    record->value = qsr_malloc(SERVER_ID_SIZE);
    if (record->value == NULL) return;
    for (int i = 0; i < SERVER_ID_SIZE; i++) record->value[i] = digest[i];
    record->length = SERVER_ID_SIZE;
}
