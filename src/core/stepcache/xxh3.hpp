// The xxHash library (Debian's libxxhash-dev) used header-only: its code is
// compiled into this library (xxh3.cpp), under a prefix of our own so it
// never clashes with another copy in the same process.
#pragma once

#define XXH_NAMESPACE plexaro_
#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

static_assert(XXH_VERSION_NUMBER >= 800, "XXH3-128 needs xxHash 0.8 or later (libxxhash-dev)");
