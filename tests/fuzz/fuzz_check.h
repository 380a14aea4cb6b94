// The fuzz targets' check of an invariant.
#pragma once

#include <cstdio>
#include <cstdlib>

// Stops the process with a message when an invariant does not hold: libFuzzer reports the input.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
