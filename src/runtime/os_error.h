#pragma once
// The text the system reports for an OS error: its description, then the
// error number, as in "Bad file descriptor (os error 9)".

#include <stdexcept>
#include <string>

namespace velkor::rt {

std::string os_error_text(int error_number);

// Thrown when the runtime cannot be built; what() is the OS error text.
class RuntimeBuildError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thrown for a worker-count setting that is not a positive whole number.
class WorkerCountError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace velkor::rt
