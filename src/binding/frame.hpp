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
// The borrow is taken before arguments are parsed, so a call on a borrowed instance fails with
// the borrow error whatever its arguments.

#include <Python.h>

#include <new>
#include <utility>

#include "binding/errors.hpp"
#include "capi/caller_code.hpp"
#include "capi/object_lock.hpp"
#include "capi/ref.hpp"
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
  // While borrow is -1: the CallerCode count of the changing call's thread.
  const std::atomic<int>* writer;
#endif
};

using Outcome = Result<Ref, PendingError>;

// The Environment class object, once made.
PyTypeObject* environment_type() noexcept;

template <class Body>
PyObject* guarded(Body&& body) noexcept {
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
  } catch (...) {
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

  // `lock` is the instance's critical section, held by the caller.
  static Result<Borrow, PendingError> take(EnvironmentObject* object, Kind kind,
                                           [[maybe_unused]] ObjectLock& lock) {
    Py_ssize_t& flag = object->borrow;
#ifdef Py_GIL_DISABLED
    // A changing call of another thread that runs no caller code let the section go only while
    // it waited for a lock inside the interpreter. Under the GIL this call would have come
    // after it, so it waits for it instead of being refused. The call's own thread, or caller
    // code running, is a true overlap and is refused below.
    while (flag == -1 && object->writer != &CallerCode::depth() &&
           object->writer->load(std::memory_order_relaxed) == 0) {
      lock.pause();
    }
#endif
    if (kind == kExclusive) {
      if (flag != 0) return PendingError::make(PyExc_RuntimeError, "Already borrowed");
      flag = -1;
#ifdef Py_GIL_DISABLED
      object->writer = &CallerCode::depth();
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
  ~Borrow() {
    if (object_ == nullptr) return;
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
template <class Body>
PyObject* with_borrow(PyObject* self, Borrow::Kind kind, Body&& body) noexcept {
  return guarded([&]() -> Outcome {
    auto object = receiver(self);
    if (!object.ok()) return std::move(object.error());
    ObjectLock lock(self);
    auto borrow = Borrow::take(object.value(), kind, lock);
    if (!borrow.ok()) return std::move(borrow.error());
    return body(borrow.value().record());
  });
}

}  // namespace kestrin
