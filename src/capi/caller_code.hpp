#pragma once
// CallerCode: marks a stretch of a call in which the interpreter may run the caller's code (the
// methods of a caller's sequence, a __str__, a finalizer, a write to sys.stderr).
//
// Under the GIL another thread can only meet an instance borrowed by a call while that call runs
// caller code, since nothing else lets the GIL go; such an overlap is refused. Without the GIL
// the instance's critical section is also let go whenever its thread waits for a lock inside
// the interpreter (the lock of a list being read, say), and a call from another thread that
// comes in then must not be refused: under the GIL it would simply have come after. The frame
// tells the two apart by this per-thread count, which is above 0 exactly while caller code may
// be running. With the GIL it costs nothing.

#include <Python.h>

#ifdef Py_GIL_DISABLED
#include <atomic>
#endif

namespace kestrin {

class CallerCode {
 public:
#ifdef Py_GIL_DISABLED
  CallerCode() noexcept { depth().fetch_add(1, std::memory_order_relaxed); }
  ~CallerCode() { depth().fetch_sub(1, std::memory_order_relaxed); }

  // This thread's count. Other threads read it while this thread holds a borrow, so it lives
  // as long as the thread.
  static std::atomic<int>& depth() noexcept {
    thread_local std::atomic<int> count{0};
    return count;
  }
#else
  CallerCode() noexcept {}
#endif
  CallerCode(const CallerCode&) = delete;
  CallerCode& operator=(const CallerCode&) = delete;
};

}  // namespace kestrin
