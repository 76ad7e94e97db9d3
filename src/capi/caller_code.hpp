#pragma once
// CallerCode: marks a stretch of a call in which the interpreter may run the caller's code (the
// methods of a caller's sequence, a __str__, a finalizer, a write to sys.stderr).
//
// Under the GIL another thread can only meet an instance borrowed by a call while that call runs
// caller code, since nothing else lets the GIL go; such an overlap is refused. Without the GIL
// the instance's critical section is also let go whenever its thread waits for a lock inside
// the interpreter (the lock of a list being read, say), and a call from another thread that
// comes in then must not be refused: under the GIL it would simply have come after. The frame
// tells the two apart by the changing call's own count of the stretches it is in, above 0
// exactly while caller code may be running in that call. A changing call made from the caller
// code of another call has a count of its own, starting at 0, as a call made directly has. With
// the GIL it all costs nothing.

#include <Python.h>

#ifdef Py_GIL_DISABLED
#include <atomic>
#endif

namespace kestrin {

#ifdef Py_GIL_DISABLED
// A changing call while it holds its instance's borrow: the innermost one of its thread, whose
// caller code stretches it counts.
class ChangingCall {
 public:
  ChangingCall() noexcept : outer_(current()) { current() = this; }
  ~ChangingCall() { current() = outer_; }
  ChangingCall(const ChangingCall&) = delete;
  ChangingCall& operator=(const ChangingCall&) = delete;

  // Read by other threads while this call holds its borrow, inside the instance's critical
  // section, which the call needs to give its borrow back: the call outlives every such read.
  bool running_caller_code() const noexcept {
    return caller_code_.load(std::memory_order_relaxed) != 0;
  }
  bool on_this_thread() const noexcept { return thread_ == &current(); }

  // The innermost changing call of this thread, or nullptr.
  static ChangingCall*& current() noexcept {
    thread_local ChangingCall* call = nullptr;
    return call;
  }

 private:
  friend class CallerCode;
  std::atomic<int> caller_code_{0};
  ChangingCall* outer_;
  const void* thread_ = &current();  // this thread's identity while it lives
};
#endif

class CallerCode {
 public:
#ifdef Py_GIL_DISABLED
  // `may_run` false: a stretch that runs none after all (its objects turned out to be built-in
  // ones), marked nothing, so that a wait for a lock there is taken as a wait.
  explicit CallerCode(bool may_run = true) noexcept
      : call_(may_run ? ChangingCall::current() : nullptr) {
    if (call_ != nullptr) call_->caller_code_.fetch_add(1, std::memory_order_relaxed);
  }
  ~CallerCode() {
    if (call_ != nullptr) call_->caller_code_.fetch_sub(1, std::memory_order_relaxed);
  }
#else
  explicit CallerCode(bool = true) noexcept {}
#endif
  CallerCode(const CallerCode&) = delete;
  CallerCode& operator=(const CallerCode&) = delete;

#ifdef Py_GIL_DISABLED
 private:
  ChangingCall* call_;
#endif
};

}  // namespace kestrin
