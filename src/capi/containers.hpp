#pragma once
// Lists and tuples that are filled after they are made.
//
// Containers are made before their items (parents before children), as the interpreter's own
// loaders do: the cycle collector then meets a referrer before what it refers to, instead of
// moving each child out and back again on a full pass. Making an item can run the collector,
// so a container stays out of the collector's sight until it is complete:
//  * its empty slots are NULL, and a gc callback must never reach one through gc.get_objects();
//  * the collector stops tracking a tuple whose items cannot form a cycle, and would do so for
//    a half-filled tuple that later receives a list, hiding every cycle through that tuple.
// new_list and new_tuple make such an untracked container; `finish` hands it to the collector
// once it and everything under it are complete, so that no tracked object leads to an empty
// slot. Every container they make must be finished exactly once, or dropped.

#include <Python.h>

#include <cstddef>

#include "capi/api_call.hpp"
#include "capi/ref.hpp"

namespace kestrin {

inline Ref new_list(std::size_t size) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(size));
  if (list == nullptr) api_failure();
  PyObject_GC_UnTrack(list);
  return Ref::steal(list);
}

// `size` is never 0: the empty tuple is the interpreter's shared one.
inline Ref new_tuple(std::size_t size) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(size));
  if (tuple == nullptr) api_failure();
  PyObject_GC_UnTrack(tuple);
  return Ref::steal(tuple);
}

inline void put_list_item(PyObject* list, std::size_t i, Ref item) noexcept {
  PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item.release());
}

inline void put_tuple_item(PyObject* tuple, std::size_t i, Ref item) noexcept {
  PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), item.release());
}

// A 2-tuple of the two items, complete when made.
inline Ref new_pair(Ref first, Ref second) {
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) api_failure();
  PyTuple_SET_ITEM(pair, 0, first.release());
  PyTuple_SET_ITEM(pair, 1, second.release());
  return Ref::steal(pair);
}

// Gives a complete container made by new_list or new_tuple to the cycle collector.
// PyPy's PyObject_GC_Track is an empty macro.
inline void finish([[maybe_unused]] PyObject* container) noexcept {
  PyObject_GC_Track(container);
}

inline Ref finished(Ref container) noexcept {
  finish(container.get());
  return container;
}

// A stretch that makes many containers and fills them, all the term objects of one sequent,
// with nothing but the making of objects in between: no caller code runs in it, nothing is
// released but what it made itself.
//
// Hiding each container until it is complete and then handing it to the collector costs a walk
// over the whole tree. Where the collector can be kept from running inside the stretch, that
// is not needed: a collection that cannot happen sees no empty slot, and a gc callback or a
// finalizer that could call gc.collect() or gc.get_objects() needs a collection, or caller
// code, to run first. Containers are then made tracked, as the interpreter's own loaders make
// them (kTrackWhenMade):
//  * from 3.12 on, a collection that falls due is only scheduled, to run when the evaluation
//    loop next checks for pending work (or when PyErr_CheckSignals is called): never in here;
//  * 3.10 and 3.11 collect inside an allocation, so the collector is switched off for the
//    stretch, and back on after it if it was on. Only the current thread runs while the GIL is
//    held, and it runs nothing here that could look at the switch. A collection that fell due
//    meanwhile runs at the next allocation after the stretch, as one would run after a call
//    that freed nothing on 3.12;
//  * before 3.10 the switch has no C API, and on a free-threaded build another thread may
//    collect at any time, so there the containers stay hidden until complete.
#if defined(Py_GIL_DISABLED) || PY_VERSION_HEX < 0x030A0000
inline constexpr bool kTrackWhenMade = false;
#else
inline constexpr bool kTrackWhenMade = true;
#endif

class ObjectBuild {
 public:
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030C0000
  ObjectBuild() noexcept : collector_was_on_(PyGC_Disable()) {}
  ~ObjectBuild() {
    if (collector_was_on_) PyGC_Enable();
  }
#else
  ObjectBuild() noexcept {}
#endif
  ObjectBuild(const ObjectBuild&) = delete;
  ObjectBuild& operator=(const ObjectBuild&) = delete;

  // An interpreter call failed in the stretch; its exception is pending. It is reported (which
  // runs caller code: sys.stderr) only after the stretch, once what it made is dropped.
  struct Failed {};
  static Ref checked(PyObject* made) {
    if (made == nullptr) [[unlikely]]
      failed();
    return Ref::steal(made);
  }
  // Out of the way of the calls that succeed.
  [[noreturn, gnu::noinline, gnu::cold]] static void failed() { throw Failed{}; }

  // A list or tuple filled later in the stretch: tracked already when kTrackWhenMade, else
  // hidden, to be finished once complete.
  Ref list(std::size_t size) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(size)));
    if constexpr (!kTrackWhenMade) PyObject_GC_UnTrack(list.get());
    return list;
  }
  Ref tuple(std::size_t size) {
    Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(size)));
    if constexpr (!kTrackWhenMade) PyObject_GC_UnTrack(tuple.get());
    return tuple;
  }
  // A container made hidden before the stretch, about to be filled in it.
  void adopt(PyObject* container) noexcept {
    if constexpr (kTrackWhenMade) finish(container);
  }

 private:
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030C0000
  int collector_was_on_;
#endif
};

}  // namespace kestrin
