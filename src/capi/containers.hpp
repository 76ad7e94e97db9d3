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
inline void finish(PyObject* container) noexcept {
  PyObject_GC_Track(container);
}

inline Ref finished(Ref container) noexcept {
  finish(container.get());
  return container;
}

}  // namespace kestrin
