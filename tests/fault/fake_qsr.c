/* fake_qsr.c: a format library that misbehaves on request, preloaded in front of libqsr.so.3 so
 * the program's checks of what the library hands back can be seen from outside.
 *   FAKE_QSR_ID_LENGTH=N     the ID's length field (default 16); its bytes are 00 01 02 ...
 *   FAKE_QSR_NULL_VALUE=1    the ID's value pointer is null
 *   FAKE_QSR_FAIL_CALL=N     the Nth call of qsr_malloc in the process returns null */
#include <stdlib.h>
#include <string.h>

#include "qsr.h"

static long env_number(const char *name, long fallback) {
    const char *text = getenv(name);
    return text == NULL ? fallback : strtol(text, NULL, 10);
}

void *qsr_malloc(uint64_t size) {
    static long calls = 0;
    if (++calls == env_number("FAKE_QSR_FAIL_CALL", 0)) return NULL;
    return malloc(size == 0 ? 1 : (size_t)size);
}

void generate_format3_server_ID(server_id_record *record, const unsigned char *representation) {
    (void)representation;
    const long length = env_number("FAKE_QSR_ID_LENGTH", 16);
    record->length = (int32_t)length;
    record->value = NULL;
    if (env_number("FAKE_QSR_NULL_VALUE", 0)) return;
    record->value = malloc(length > 0 ? (size_t)length : 1);
    for (long i = 0; i < length; i++) record->value[i] = (unsigned char)i;
}
