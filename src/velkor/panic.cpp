#include "panic.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace velkor {

namespace {
PyObject* the_type = nullptr;  // one per process, never released

// The path from the project's src/ on, which is all a reader needs.
const char* short_path(const char* path) {
  const char* found = std::strstr(path, "src/");
  return found != nullptr ? found : path;
}
}  // namespace

bool init_panic_type() {
  if (the_type != nullptr) return true;
  the_type = PyErr_NewException("velkor.PanicException", PyExc_BaseException, nullptr);
  return the_type != nullptr;
}

PyObject* panic_type() { return the_type; }

void report_panic(std::string_view message, std::source_location where) {
  std::fprintf(stderr, "velkor: internal fault at %s:%u: %.*s\n", short_path(where.file_name()),
               static_cast<unsigned>(where.line()), static_cast<int>(message.size()),
               message.data());
  std::fflush(stderr);
}

PyObject* raise_panic(std::string_view message, std::source_location where) {
  report_panic(message, where);
  const std::string text(message);
  PyErr_SetString(the_type, text.c_str());
  return nullptr;
}

bool renotice_panic(std::string_view what) {
  if (the_type == nullptr || !PyErr_ExceptionMatches(the_type)) return false;
  PyObject* fault = PyErr_GetRaisedException();
  std::fflush(stdout);
  PySys_FormatStderr("velkor: internal fault came back from %.200s; raising it again\n",
                     std::string(what).c_str());
  PyErr_DisplayException(fault);
  PyErr_SetRaisedException(fault);
  return true;
}

}  // namespace velkor
