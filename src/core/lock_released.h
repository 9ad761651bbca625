#pragma once
// LockReleased: the interpreter lock given up for a scope, as the thread
// that runs a loop does while it waits.

#include <Python.h>

namespace velkor {

// The interpreter lock, given up while the guard lives except where it is
// taken back (one callback at a time); held again when the guard goes.
class LockReleased {
 public:
  LockReleased() : saved_(PyEval_SaveThread()) {}
  ~LockReleased() {
    if (released_) PyEval_RestoreThread(saved_);
  }
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

  void take() {
    PyEval_RestoreThread(saved_);
    released_ = false;
  }
  void give() {
    saved_ = PyEval_SaveThread();
    released_ = true;
  }

 private:
  PyThreadState* saved_;
  bool released_ = true;
};

}  // namespace velkor
