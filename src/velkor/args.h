#pragma once
// Argument parsing for the loop's fast-call methods, and the conversions
// their parameters need.
//
// Parse errors are TypeErrors naming the method. A TypeError from a
// conversion is replaced by "argument '<name>': <message>", keeping the
// original's cause; other conversion errors pass unchanged.

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

#include "core/pyref.h"

namespace velkor::args {

enum class Kind { positional_or_keyword, keyword_only };

struct Param {
  const char* name;
  Kind kind;
  bool required;
};

struct Signature {
  const char* method;           // e.g. "VelkorLoop.call_soon"
  std::span<const Param> params;  // positional-or-keyword ones first
  bool star_args;               // a *args after the positional-or-keyword ones
};

constexpr std::size_t max_params = 4;

struct Parsed {
  std::array<PyObject*, max_params> values{};  // borrowed; null when not given
  PyObject* const* star = nullptr;             // the *args items, borrowed
  Py_ssize_t star_count = 0;
};

// Matches positional arguments and keyword names to `sig`. Returns false
// with a TypeError set on a parse error.
bool parse(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           Parsed& out);

// A new tuple of `count` items.
PyRef make_tuple(PyObject* const* items, Py_ssize_t count);

// The interpreter's float conversion.
bool to_double(PyObject* value, const char* name, double& out);
// The interpreter's C long conversion, then a 32-bit signed range check.
bool to_fd(PyObject* value, const char* name, int& out);
// bool, or a NumPy boolean scalar; nothing else.
bool to_strict_bool(PyObject* value, const char* name, bool& out);
// A tuple or an instance of a tuple subclass.
bool check_tuple(PyObject* value, const char* name);

// Replaces a pending TypeError by the argument-error form for `name`.
void name_type_error(const char* name);

// None means not given.
inline PyObject* given(PyObject* value) { return value == Py_None ? nullptr : value; }

}  // namespace velkor::args
