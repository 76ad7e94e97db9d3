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
// The borrow is taken before arguments are parsed, so a call on a borrowed instance fails with
// the borrow error whatever its arguments.

#include <Python.h>

#include <new>
#include <utility>

#include "binding/errors.hpp"
#include "capi/ref.hpp"
#include "logic/internal_fault.hpp"
#include "logic/result.hpp"
#include "store/environment.hpp"

namespace kestrin {

struct EnvironmentObject {
  PyObject_HEAD Environment record;
  // 0 free, n > 0 readers, -1 one changing call. Only touched with the interpreter lock held.
  Py_ssize_t borrow;
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

  static Result<Borrow, PendingError> take(EnvironmentObject* object, Kind kind) {
    Py_ssize_t& flag = object->borrow;
    if (kind == kExclusive) {
      if (flag != 0) return PendingError::make(PyExc_RuntimeError, "Already borrowed");
      flag = -1;
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

// The steps every entry point with a receiver shares: receiver check, borrow, then `body`
// with the borrowed record.
template <class Body>
PyObject* with_borrow(PyObject* self, Borrow::Kind kind, Body&& body) noexcept {
  return guarded([&]() -> Outcome {
    auto object = receiver(self);
    if (!object.ok()) return std::move(object.error());
    auto borrow = Borrow::take(object.value(), kind);
    if (!borrow.ok()) return std::move(borrow.error());
    return body(borrow.value().record());
  });
}

}  // namespace kestrin
