#pragma once
// The fuzz harnesses' one assertion: a broken invariant aborts the run, in
// every build type, with the line that says which.

#include <cstdio>
#include <cstdlib>

#define REQUIRE(condition)                                                                   \
    do {                                                                                     \
        if (!(condition)) {                                                                  \
            std::fprintf(stderr, "invariant broken at line %d: %s\n", __LINE__, #condition); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)
