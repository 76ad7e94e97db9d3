#pragma once
// Ref: the one owner of Python references in this module.
//
// Rules of use:
//  * A Ref owns exactly one strong reference, or nothing.
//  * Ref::steal(p) adopts a reference the caller already owns (an API "new reference").
//  * Ref::new_ref(p) adds a reference to a borrowed pointer and owns that.
//  * release() hands the reference on (to the interpreter as a return value, or to an API
//    that steals, such as PyList_SET_ITEM) and leaves the Ref empty.
//  * Refs move and never copy; destroying or overwriting one needs the interpreter lock.
//    CAUTION: dropping the last reference to a caller's object can run its __del__.

#include <Python.h>

#include <utility>

namespace kestrin {

class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref new_ref(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace kestrin
