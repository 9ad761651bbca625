#include "native_test.h"

namespace native_test {
std::vector<Case>& cases() {
  static std::vector<Case> all;
  return all;
}
}  // namespace native_test

int main() {
  int passed = 0;
  int failed = 0;
  for (const auto& test : native_test::cases()) {
    try {
      test.body();
      ++passed;
    } catch (const std::exception& error) {
      ++failed;
      std::printf("FAILED %s: %s\n", test.name, error.what());
    }
  }
  std::printf("native: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
