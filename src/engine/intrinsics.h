// The x86 intrinsics, for the files that choose their instructions at run
// time; nothing elsewhere.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// GCC 12 warns about the deliberately undefined upper parts of its own
// AVX-512 intrinsics.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
