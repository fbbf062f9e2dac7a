// fuzz_check.h: what a fuzz target asserts. A broken invariant aborts with its text and place,
// which libFuzzer reports as a crash and keeps as an artifact.
#ifndef VELTO_FUZZ_CHECK_H
#define VELTO_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                               \
    do {                                                                                    \
        if (!(condition)) {                                                                 \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)

#endif  // VELTO_FUZZ_CHECK_H
