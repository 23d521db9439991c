// COMM_TARGET_REGION("avx2,fma") ... COMM_TARGET_REGION_END: every function
// defined between them is compiled for those instruction sets, whatever the
// build's flags, so one file of the library can hold a path for a CPU the
// build does not assume. Code from the region runs only where the CPU has
// the instructions: the path's needed features say which.
//
// A file includes every header it uses before the region opens, so that no
// inline function of a shared header is compiled for the region's set.
#ifndef COMM_TARGET_REGION_HPP
#define COMM_TARGET_REGION_HPP

#define COMM_PRAGMA(text) _Pragma(#text)

#if defined(__clang__)
#define COMM_TARGET_REGION(features) \
    COMM_PRAGMA(clang attribute push(__attribute__((target(features))), apply_to = function))
#define COMM_TARGET_REGION_END COMM_PRAGMA(clang attribute pop)
#elif defined(__GNUC__)
// GCC 12's vector intrinsics start from _mm*_undefined_*(), a variable
// initialised from itself, which -Wuninitialized and -Wmaybe-uninitialized
// report wherever they are inlined (GCC bug 105593).
#define COMM_TARGET_REGION(features)                      \
    COMM_PRAGMA(GCC push_options)                         \
    COMM_PRAGMA(GCC target(features))                     \
    COMM_PRAGMA(GCC diagnostic push)                      \
    COMM_PRAGMA(GCC diagnostic ignored "-Wuninitialized") \
    COMM_PRAGMA(GCC diagnostic ignored "-Wmaybe-uninitialized")
#define COMM_TARGET_REGION_END      \
    COMM_PRAGMA(GCC diagnostic pop) \
    COMM_PRAGMA(GCC pop_options)
#endif

#endif  // COMM_TARGET_REGION_HPP
