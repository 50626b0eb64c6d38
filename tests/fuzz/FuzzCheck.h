#pragma once

#include <cstdio>
#include <cstdlib>

// A property that does not hold: name it and abort, which libFuzzer reports
// as a crash, keeping the input that broke it.
#define FUZZ_CHECK(Condition)                                                                      \
  do {                                                                                             \
    if (!(Condition)) {                                                                            \
      std::fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__, #Condition); \
      std::abort();                                                                                \
    }                                                                                              \
  } while (false)
