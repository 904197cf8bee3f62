#pragma once

#include <cstdio>
#include <cstdlib>

// A property the code under fuzzing must keep. A broken one aborts, which libFuzzer reports as a crash and
// keeps the input that showed it.
#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (false)
