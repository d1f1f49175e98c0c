#pragma once

namespace testing_support {

// A bound on how long something may take is this many times longer in a sanitizer
// build: it does the same work several times slower, and a loaded machine slows it
// further. Lower bounds (never early) need no such factor.
#ifdef DMM_TEST_SANITIZED
constexpr int kSlow = 3;
#else
constexpr int kSlow = 1;
#endif

} // namespace testing_support
