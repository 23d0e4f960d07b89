#pragma once
#include <cstdio>
#include <cstdlib>

// A failed property is a crash, which is what libFuzzer reports and keeps.
#define FUZZ_CHECK(condition)                                              \
  do {                                                                     \
    if (!(condition)) {                                                    \
      std::fprintf(stderr, "property failed: %s (%s:%d)\n", #condition,    \
                   __FILE__, __LINE__);                                    \
      std::abort();                                                        \
    }                                                                      \
  } while (0)
