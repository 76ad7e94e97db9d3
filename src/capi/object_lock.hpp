#pragma once
// ObjectLock: an object's critical section on a free-threaded interpreter; nothing under the GIL.
//
// Under the GIL one call runs at a time, and the borrow flag alone keeps the calls on one
// instance apart. Without the GIL every entry point of an instance holds the instance's
// critical section instead, so that calls on one instance take turns as they do under the GIL.
// The interpreter lets a critical section go while its thread waits (for another lock, for
// caller code that blocks), so it excludes others only most of the time: the borrow flag, read
// and written only inside the section, still refuses a true overlap (see CallerCode).
//
// It ends with its scope, so an internal fault thrown through it leaves no section held.

#include <Python.h>

#include "capi/thread_state.hpp"

#ifdef Py_GIL_DISABLED
#include <algorithm>
#include <chrono>
#include <thread>
#endif

namespace kestrin {

class ObjectLock {
 public:
#ifdef Py_GIL_DISABLED
  // Not noexcept: waiting for the section lets the interpreter go, and taking it back can end
  // the thread (a forced unwind).
  explicit ObjectLock(PyObject* object) : object_(object) {
    PyCriticalSection_Begin(&section_, object);
  }
  // A thread ended by such an unwind holds no section (its sections were suspended when it
  // let the interpreter go, or `pause` had ended this one), and no thread state to end it with.
  ~ObjectLock() {
    if (interpreter_held()) [[likely]]
      PyCriticalSection_End(&section_);
  }

  // Lets other threads have the section for a while, then takes it again: the `round`th time
  // in a row, for longer each time, so that a long wait costs no core. The first rounds only
  // yield; later ones sleep, from 16 microseconds up to 4 milliseconds, which keeps a signal's
  // answer prompt. Not noexcept: taking the interpreter back can end the thread (a forced unwind)
  // when the interpreter is finalizing.
  void pause(unsigned round) {
    PyCriticalSection_End(&section_);
    PyThreadState* state = PyEval_SaveThread();
    if (round < 8) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(16 << std::min(round - 8, 8u)));
    }
    PyEval_RestoreThread(state);
    PyCriticalSection_Begin(&section_, object_);
  }
#else
  explicit ObjectLock(PyObject*) noexcept {}
#endif
  ObjectLock(const ObjectLock&) = delete;
  ObjectLock& operator=(const ObjectLock&) = delete;

#ifdef Py_GIL_DISABLED
 private:
  PyObject* object_;
  PyCriticalSection section_;
#endif
};

}  // namespace kestrin
