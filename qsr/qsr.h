/* qsr.h: interface of the format library libqsr.so.3 (C linkage). */
#ifndef QSR_H
#define QSR_H

#include <stdint.h>

#if defined(__GNUC__)
#define QSR_API __attribute__((visibility("default")))
#else
#define QSR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The server ID of a format representation. `value` is a qsr_malloc block of `length` bytes,
   owned by the caller once filled, and released with free(). */
typedef struct server_id_record {
    int32_t length;
    unsigned char *value;
} server_id_record;

/* A block of at least `size` bytes, released with free(); null only when memory is exhausted
   (a size of 0 still yields a block). */
QSR_API void *qsr_malloc(uint64_t size);

/* Fills *record with the server ID of `representation`. The representation's extent is taken
   from the length that its 8-byte header declares, which the caller has checked against the
   bytes it holds. On exhausted memory the record is left with length 0 and a null value. */
QSR_API void generate_format3_server_ID(server_id_record *record,
                                        const unsigned char *representation);

#ifdef __cplusplus
}
#endif

#endif /* QSR_H */
