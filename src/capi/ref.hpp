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
//    drops a caller's object: the unwind must be able to leave it. std::vector's clear() and
//    destructor are noexcept: a vector of caller objects is emptied with drop_all first.
//  * A Ref destroyed by that unwind, on a thread that no longer holds the interpreter, keeps
//    its reference: the process is ending.

#include <Python.h>

#include <utility>
#include <vector>

#include "capi/thread_state.hpp"

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
  Ref& operator=(Ref&& other) noexcept(false) {
    PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
    if (old != nullptr) drop(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() noexcept(false) {
    if (p_ != nullptr) drop(p_);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  static void drop(PyObject* p) noexcept(false) {
    if (interpreter_held()) [[likely]]
      Py_DECREF(p);
  }
  PyObject* p_ = nullptr;
};

// Drops every reference, first to last, where a forced unwind can leave; the vector is left
// empty. Each is released before it is dropped: if a finalizer ends the thread, the unwind
// finds the rest still owned, and their own destructors leave them.
inline void drop_all(std::vector<Ref>& refs) {
  if (!interpreter_held()) return;
  for (Ref& ref : refs) Py_XDECREF(ref.release());
  refs.clear();
}

// References owned by an array of plain pointers (a slot may be empty): growing it copies
// bytes, where a vector of Ref, whose destructor may throw, moves each one and then destroys
// what it left. For arrays that grow large. Its owner empties it with drop_all where a drop
// may run caller code; the destructor drops what is left as ~Ref would, but noexcept.
class RefArray {
 public:
  RefArray() noexcept = default;
  RefArray(const RefArray&) = delete;
  RefArray& operator=(const RefArray&) = delete;
  ~RefArray() {
    if (interpreter_held()) {
      for (PyObject* p : items_) Py_XDECREF(p);
    }
  }

  std::size_t size() const noexcept { return items_.size(); }
  std::size_t capacity() const noexcept { return items_.capacity(); }
  // May throw std::bad_alloc, leaving the array unchanged.
  void reserve(std::size_t n) { items_.reserve(n); }
  // Needs room reserved: it cannot fail.
  void push_back(Ref&& ref) noexcept { items_.push_back(ref.release()); }
  PyObject* operator[](std::size_t i) const noexcept { return items_[i]; }
  Ref take(std::size_t i) noexcept { return Ref::steal(std::exchange(items_[i], nullptr)); }
  // Removes the first `n` slots, which must be empty.
  void erase_front(std::size_t n) noexcept {
    items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(n));
  }
  // Drops the references from `first` on, which must run no caller code (objects the module
  // made itself), and removes their slots.
  void truncate(std::size_t first) noexcept {
    if (interpreter_held()) {
      for (std::size_t i = first; i < items_.size(); ++i)
        Py_XDECREF(std::exchange(items_[i], nullptr));
    }
    items_.resize(first);
  }

 private:
  friend void drop_all(RefArray& refs);
  std::vector<PyObject*> items_;
};

inline void drop_all(RefArray& refs) {
  if (!interpreter_held()) return;
  for (PyObject*& p : refs.items_) Py_XDECREF(std::exchange(p, nullptr));
  refs.items_.clear();
}

}  // namespace kestrin
