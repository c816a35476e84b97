#pragma once

#include <cstdio>
#include <cstdlib>

// A property that fails aborts, so libFuzzer reports the input as a crash and keeps it.
inline void Check(bool AHolds, const char* AWhat) {
    if (!AHolds) {
        std::fprintf(stderr, "fuzz property failed: %s\n", AWhat);
        std::abort();
    }
}
