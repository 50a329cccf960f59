// The one check of the C++ tests: a failed condition is counted and (the
// first twenty) printed; main ends with `return report("what it tests")`.
#pragma once

#include <cstdio>
#include <string>

namespace vantrel::testing {

inline int failures = 0;

inline void expect(bool condition, const std::string& what) {
  if (condition) return;
  if (++failures <= 20) std::printf("FAIL: %s\n", what.c_str());
}

// The exit status: 0 when every check passed.
inline int report(const char* what) {
  if (failures != 0) {
    std::printf("%d failures\n", failures);
    return 1;
  }
  std::printf("%s: all checks passed\n", what);
  return 0;
}

}  // namespace vantrel::testing
