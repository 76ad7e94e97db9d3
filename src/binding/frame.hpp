#pragma once
// The call frame: the one boundary every entry point goes through.
//
//   guarded(body)            catches internal faults and memory exhaustion, hands a pending
//                            error to the interpreter, and never returns NULL without an
//                            exception set;
//   receiver(self)           checks that the receiver is an Environment;
//   Borrow::take(env, kind)  the per-instance borrow flag, given back by its destructor on
//                            every path, an internal fault included.
//
// On a free-threaded interpreter the borrow is taken and given back inside the instance's
// critical section (ObjectLock), so calls from several threads take turns.
//
// A forced unwind (a thread ended by pthread_exit or cancelled, as the interpreter ends a daemon
// thread that wakes during finalization) passes through every frame: it is not an error of the
// call, and catching it without passing it on aborts the process. It starts where the
// interpreter is let go (caller code, a finalizer, a wait), so nothing on the way may be
// noexcept, and it finds the thread without the interpreter: what the frames hold is left as
// it is (see thread_state.hpp).
//
// The borrow is taken before arguments are parsed, so a call on a borrowed instance fails with
// the borrow error whatever its arguments.

#include <Python.h>

#include <exception>
#include <new>
#include <type_traits>
#include <utility>

#include "binding/errors.hpp"
#include "capi/caller_code.hpp"
#include "capi/object_lock.hpp"
#include "capi/ref.hpp"
#include "logic/fork_generation.hpp"
#include "logic/internal_fault.hpp"
#include "logic/result.hpp"
#include "store/environment.hpp"

namespace kestrin {

struct EnvironmentObject {
  PyObject_HEAD Environment record;
  // 0 free, n > 0 readers, -1 one changing call. Only touched with the interpreter lock held,
  // or without a GIL inside the instance's critical section.
  Py_ssize_t borrow;
#ifdef Py_GIL_DISABLED
  // While borrow is -1: the changing call, and the fork generation it was taken in.
  const ChangingCall* writer;
  unsigned writer_generation;
#endif
};

using Outcome = Result<Ref, PendingError>;

// The changing call that an exclusive borrow records; nothing for a shared one, or under the GIL.
struct NoChangingCall {};
#ifdef Py_GIL_DISABLED
template <bool kExclusive>
using ChangingCallOf = std::conditional_t<kExclusive, ChangingCall, NoChangingCall>;
#else
template <bool>
using ChangingCallOf = NoChangingCall;
#endif

// The Environment class object, once made.
PyTypeObject* environment_type() noexcept;

// Not noexcept: a forced unwind must be able to leave it. Nothing catches everything (`...`):
// a handler that catches a forced unwind must pass it on, and the C++ runtime linked into the
// wheels cannot (it would raise it again as a new exception, which nothing catches, and
// terminate), so only the module's own exceptions and the standard library's are caught.
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    Outcome outcome = body();
    if (outcome.ok()) {
      if (outcome.value()) return outcome.value().release();
      PendingError::fetch().restore();
      return nullptr;
    }
    std::move(outcome.error()).restore();
  } catch (InternalFault& fault) {
    raise_internal_fault(fault.description);
  } catch (std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (std::exception&) {
    raise_internal_fault("unexpected native exception");
  }
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return nullptr;
}

inline Result<EnvironmentObject*, PendingError> receiver(PyObject* self) {
  if (!PyObject_TypeCheck(self, environment_type())) {
    return PendingError::make(PyExc_TypeError, conversion_message(self, "Environment"));
  }
  return reinterpret_cast<EnvironmentObject*>(self);
}

class Borrow {
 public:
  enum Kind { kShared, kExclusive };

  // `lock` is the instance's critical section, held by the caller; `call` is the changing call
  // that takes the borrow exclusively (ignored for a shared one).
  static Result<Borrow, PendingError> take(EnvironmentObject* object, Kind kind,
                                           [[maybe_unused]] ObjectLock& lock,
                                           [[maybe_unused]] ChangingCallOf<true>* call) {
    Py_ssize_t& flag = object->borrow;
#ifdef Py_GIL_DISABLED
    // A changing call of another thread that runs no caller code let the section go only while
    // it waited for a lock inside the interpreter. Under the GIL this call would have come
    // after it, so it waits for it instead of being refused. The call's own thread, caller code
    // running in that call, or a holder left behind by fork() (the thread is not in this
    // process) is a true overlap, or one that never ends, and is refused below.
    for (unsigned round = 0;
         flag == -1 && !object->writer->on_this_thread() &&
         !object->writer->running_caller_code() && object->writer_generation == fork_generation();
         ++round) {
      lock.pause(round);
      CallerCode caller_code;  // a signal handler
      if (PyErr_CheckSignals() < 0) return PendingError::fetch();
    }
#endif
    if (kind == kExclusive) {
      if (flag != 0) return PendingError::make(PyExc_RuntimeError, "Already borrowed");
      flag = -1;
#ifdef Py_GIL_DISABLED
      object->writer = call;
      object->writer_generation = fork_generation();
#endif
    } else {
      if (flag == -1) return PendingError::make(PyExc_RuntimeError, "Already mutably borrowed");
      ++flag;
    }
    return Borrow(object, kind);
  }

  Borrow(Borrow&& other) noexcept
      : object_(std::exchange(other.object_, nullptr)), kind_(other.kind_) {}
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  Borrow& operator=(Borrow&&) = delete;
  // A thread ended inside the call leaves the borrow taken: the call never ended.
  ~Borrow() {
    if (object_ == nullptr || !interpreter_held()) return;
    if (kind_ == kExclusive) {
      object_->borrow = 0;
    } else {
      --object_->borrow;
    }
  }

  Environment& record() const noexcept { return object_->record; }

 private:
  Borrow(EnvironmentObject* object, Kind kind) noexcept : object_(object), kind_(kind) {}
  EnvironmentObject* object_;
  Kind kind_;
};

// The steps every entry point with a receiver shares: receiver check, critical section,
// borrow, then `body` with the borrowed record. The borrow is given back before the section
// ends.
template <Borrow::Kind kKind, class Body>
PyObject* with_borrow(PyObject* self, Body&& body) {
  return guarded([&]() -> Outcome {
    auto object = receiver(self);
    if (!object.ok()) return std::move(object.error());
    ObjectLock lock(self);
    ChangingCallOf<kKind == Borrow::kExclusive> call;
    ChangingCallOf<true>* changing = nullptr;
    if constexpr (kKind == Borrow::kExclusive) changing = &call;
    auto borrow = Borrow::take(object.value(), kKind, lock, changing);
    if (!borrow.ok()) return std::move(borrow.error());
    return body(borrow.value().record());
  });
}

}  // namespace kestrin
