// A minimal assertion helper for the C++ unit tests (no test framework is
// a dependency). CHECK records a failure and goes on; main() returns the
// failure count, which ctest reads.
#pragma once

#include <cstdio>

namespace halvo::testing {

inline int& failures() {
  static int count = 0;
  return count;
}

}  // namespace halvo::testing

#define CHECK(cond)                                                         \
  do {                                                                      \
    if (!(cond)) {                                                          \
      std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, \
                   #cond);                                                  \
      ++halvo::testing::failures();                                         \
    }                                                                       \
  } while (0)
