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
//  * A finalizer run by a drop can let the interpreter go and have the thread ended (a forced
//    unwind, see thread_state.hpp), so dropping is not noexcept, and neither is anything that
//    drops a caller's object: the unwind must be able to leave it.
//  * A Ref destroyed by that unwind, on a thread that no longer holds the interpreter, keeps
//    its reference: the process is ending.
//  * Vectors hold StoredRef, the same but for a noexcept destructor, so that they grow by
//    moving bytes (the standard library moves each element and destroys the emptied original
//    when a destructor may throw; and std::vector's clear() and destructor are noexcept
//    anyway). A vector that may hold the last reference to a caller's object is emptied with
//    drop_all, which lets an unwind leave; its destructor then drops nothing, or only objects
//    the module made itself, which run no caller code.

#include <Python.h>

#include <utility>
#include <vector>

#include "capi/thread_state.hpp"

namespace kestrin {

template <bool kDropMayEndThread>
class BasicRef {
 public:
  BasicRef() noexcept = default;
  static BasicRef steal(PyObject* p) noexcept { return BasicRef(p); }
  static BasicRef new_ref(PyObject* p) noexcept {
    Py_XINCREF(p);
    return BasicRef(p);
  }

  BasicRef(BasicRef&& other) noexcept : p_(other.release()) {}
  template <bool kOther>
  BasicRef(BasicRef<kOther>&& other) noexcept : p_(other.release()) {}
  BasicRef& operator=(BasicRef&& other) noexcept(!kDropMayEndThread) {
    PyObject* old = std::exchange(p_, other.release());
    if (old != nullptr) drop(old);
    return *this;
  }
  BasicRef(const BasicRef&) = delete;
  BasicRef& operator=(const BasicRef&) = delete;
  ~BasicRef() noexcept(!kDropMayEndThread) {
    if (p_ != nullptr) drop(p_);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit BasicRef(PyObject* p) noexcept : p_(p) {}
  static void drop(PyObject* p) noexcept(!kDropMayEndThread) {
    if (interpreter_held()) [[likely]]
      Py_DECREF(p);
  }
  PyObject* p_ = nullptr;
};

using Ref = BasicRef<true>;
using StoredRef = BasicRef<false>;

// Drops every reference, first to last, where a forced unwind can leave; the vector is left
// empty. Each is released before it is dropped: if a finalizer ends the thread, the unwind
// finds the rest still owned, and their own destructors leave them.
inline void drop_all(std::vector<StoredRef>& refs) {
  if (!interpreter_held()) return;
  for (StoredRef& ref : refs) Py_XDECREF(ref.release());
  refs.clear();
}

}  // namespace kestrin
