// The uncounted road: a call that needs no boundary, since every argument reads without Python
// (running no Python code), and nothing on it can fail but an allocation. Its entry is not
// counted, so nothing on it may release a reference (it would be queued, not applied); the
// sanitizer build checks that. Where it cannot go on, it declines: the call goes on inside the
// boundary from what was read.
#pragma once

#include <Python.h>

#include "gil.hpp"

namespace kestrum {

// Marks the road while it runs; in the sanitizer build a release on it stops the process.
class UncountedRoad {
public:
#ifdef KESTRUM_CHECK_UNCOUNTED_ROAD
    UncountedRoad() noexcept { ON_UNCOUNTED_ROAD = true; }
    ~UncountedRoad() { ON_UNCOUNTED_ROAD = false; }
#else
    UncountedRoad() = default;
#endif
    UncountedRoad(const UncountedRoad&) = delete;
    UncountedRoad& operator=(const UncountedRoad&) = delete;
};

}  // namespace kestrum
