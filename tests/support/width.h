// Expectations that the script host's integer width decides, stated for both widths in one place.
#ifndef QUILLSTORE_TESTS_SUPPORT_WIDTH_H
#define QUILLSTORE_TESTS_SUPPORT_WIDTH_H

#include "api/host_api.h"

// True iff this build's VM has 64-bit integers (a 64-bit host's script host).
constexpr bool SQ64 = sizeof(SQInteger) == 8;

// The expectation for a 32-bit script host or for a 64-bit one, whichever this build is.
template <typename T>
constexpr T ByWidth(T for32, T for64) {
    return SQ64 ? for64 : for32;
}

#endif
