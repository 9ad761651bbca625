#pragma once
// A minimal test harness for the native units: TEST registers a case, CHECK
// records a failure and ends the case.

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace native_test {

struct Case {
  const char* name;
  std::function<void()> body;
};

std::vector<Case>& cases();

struct Register {
  Register(const char* name, std::function<void()> body) { cases().push_back({name, std::move(body)}); }
};

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace native_test

#define NATIVE_TEST_CAT2(a, b) a##b
#define NATIVE_TEST_CAT(a, b) NATIVE_TEST_CAT2(a, b)
#define TEST(name)                                                                    \
  static void name();                                                                 \
  static native_test::Register NATIVE_TEST_CAT(register_, name)(#name, name);         \
  static void name()

#define CHECK(condition)                                                                        \
  do {                                                                                          \
    if (!(condition)) {                                                                         \
      throw native_test::Failure(std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": " + \
                                 #condition);                                                   \
    }                                                                                           \
  } while (0)
