#pragma once
// PyRef: the one owner of a strong Python reference in native code.
//
// Releasing needs the interpreter lock. A PyRef that dies on a thread
// without it (a worker), or inside a DeferHere scope, hands its reference to
// the deferred-release list; otherwise it releases at once. So no path forgets a decref, and no
// worker ever touches a reference count.

#include <Python.h>

#include <utility>

#include "core/deferred_release.h"

namespace velkor {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (which may be null, for a failed call).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference to a borrowed one. Needs the interpreter lock.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { reset(); }

  // A second owner of the same object. Needs the interpreter lock.
  PyRef share() const noexcept { return borrow(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Gives the reference away, as a new reference for the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  void reset() noexcept {
    if (PyObject* object = std::exchange(object_, nullptr)) {
      // An attached thread state means this thread holds the lock.
      if (PyThreadState_GetUnchecked() != nullptr && !deferred::detail::defer_here) {
        Py_DECREF(object);
      } else {
        deferred::release_later(object);
      }
    }
  }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace velkor
