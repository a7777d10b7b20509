// The one translation unit that holds xxHash's code. It is always compiled
// with optimisation (see deps.cmake): unoptimised, XXH3 runs ten times slower
// and a debug build would hash inputs slower than it copies them.
#define XXH_IMPLEMENTATION
#include "stepcache/xxh3.hpp"
