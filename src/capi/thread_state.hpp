#pragma once
// Whether this thread holds the interpreter.
//
// CPython 3.8 to 3.13 end a daemon thread that asks for the interpreter back while the
// interpreter finalizes: pthread_exit, a forced unwind through every frame of the thread. The
// unwind starts before the thread has the interpreter again, and the frames it leaves may hold
// references, a critical section or a borrow. Letting any of them go then would race with the
// finalizing thread, or use a thread state that is no longer there; the process is ending, so
// what they hold is left as it is. Every destructor that touches the interpreter asks this
// first. (From 3.14 on such a thread is parked instead, and this is always true.)

#include <Python.h>

namespace kestrin {

inline bool interpreter_held() noexcept {
#if defined(PYPY_VERSION)
  return true;
#elif PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
  return _PyThreadState_UncheckedGet() != nullptr;
#else
  // Before 3.12 the current thread state is one for the whole process: its holder's.
  PyThreadState* holder = _PyThreadState_UncheckedGet();
  return holder != nullptr && holder->thread_id == PyThread_get_thread_ident();
#endif
}

}  // namespace kestrin
