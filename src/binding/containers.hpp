#pragma once
// Lists and tuples that are filled after they are made.
//
// Containers are made before their items (parents before children), as the interpreter's own
// loaders do: the cycle collector then meets a referrer before what it refers to, instead of
// moving each child out and back again on a full pass. Making an item can run the collector,
// and its callbacks can reach the container through gc.get_objects(): so until its item is put
// in, every slot holds None, never NULL.

#include <Python.h>

#include <cstddef>

#include "binding/errors.hpp"
#include "binding/ref.hpp"

namespace kestrin {

inline Ref new_list(std::size_t size) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(size));
  if (list == nullptr) api_failure();
  for (std::size_t i = 0; i < size; ++i) {
    Py_INCREF(Py_None);
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), Py_None);
  }
  return Ref::steal(list);
}

inline Ref new_tuple(std::size_t size) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(size));
  if (tuple == nullptr) api_failure();
  for (std::size_t i = 0; i < size; ++i) {
    Py_INCREF(Py_None);
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), Py_None);
  }
  return Ref::steal(tuple);
}

// Puts `item` into slot `i` of a container made by new_list.
inline void put_list_item(PyObject* list, std::size_t i, Ref item) noexcept {
  PyObject* placeholder = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
  PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item.release());
  Py_DECREF(placeholder);
}

// Puts `item` into slot `i` of a container made by new_tuple.
inline void put_tuple_item(PyObject* tuple, std::size_t i, Ref item) noexcept {
  PyObject* placeholder = PyTuple_GET_ITEM(tuple, static_cast<Py_ssize_t>(i));
  PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), item.release());
  Py_DECREF(placeholder);
}

}  // namespace kestrin
