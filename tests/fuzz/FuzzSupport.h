// A failed expectation prints what was expected, the input and the result,
// and aborts: libFuzzer reports a crash and keeps the input.
#ifndef VANTREL_TESTS_FUZZ_FUZZSUPPORT_H
#define VANTREL_TESTS_FUZZ_FUZZSUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

inline void Expect(bool ok, const char *what, const std::string &input, const std::string &result) {
  if (ok) return;
  std::fprintf(stderr, "MISMATCH: %s\n  input:  %.400s\n  result: %.400s\n", what, input.c_str(), result.c_str());
  std::abort();
}

#endif  // VANTREL_TESTS_FUZZ_FUZZSUPPORT_H
