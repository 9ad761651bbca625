#pragma once
// The internal-fault exception, PanicException: a broken invariant inside
// the module surfaces in Python as this BaseException subclass (so `except
// Exception` does not swallow it), never as a crash. A short report with the
// message and the source location goes to standard error first.

#include <Python.h>

#include <source_location>
#include <string_view>

namespace velkor {

// Creates the exception type once per process. Returns false with an
// exception set on failure.
bool init_panic_type();
PyObject* panic_type();

// Writes the report only; usable on any thread.
void report_panic(std::string_view message,
                  std::source_location where = std::source_location::current());

// Writes the report and raises PanicException(message). Returns null so
// method entries can `return raise_panic(...)`.
PyObject* raise_panic(std::string_view message,
                      std::source_location where = std::source_location::current());

// For a Python call of ours that failed: when the pending exception is the
// fault, writes a notice and its traceback to standard error and leaves it
// raised, so it travels on instead of being handled like an ordinary error.
// Returns true when the pending exception is the fault.
bool renotice_panic(std::string_view what);

}  // namespace velkor
