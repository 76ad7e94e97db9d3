/* The least work that building the value of env.sequents can take: the same lists and tuples,
 * made with the interpreter's own constructors and filled with new references to the same
 * term objects, from a flat Python list of the terms and a list of the equation counts.
 * Nothing else: no checks, no prefetching, no hiding from the collector. bench.py compiles
 * it on the fly (when a C compiler is at hand) to show how close the attribute comes. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* build(terms, counts): counts holds two numbers per sequent (premises, conclusions). */
static PyObject* build(PyObject* self, PyObject* args) {
  PyObject *terms, *counts;
  (void)self;
  if (!PyArg_ParseTuple(args, "O!O!", &PyList_Type, &terms, &PyList_Type, &counts)) return NULL;
  Py_ssize_t sequents = PyList_GET_SIZE(counts) / 2, next = 0;
  PyObject* result = PyList_New(sequents);
  if (result == NULL) return NULL;
  for (Py_ssize_t i = 0; i < sequents; ++i) {
    PyObject* sides[2];
    for (int side = 0; side < 2; ++side) {
      Py_ssize_t count = PyLong_AsSsize_t(PyList_GET_ITEM(counts, 2 * i + side));
      if (count < 0 || next + 2 * count > PyList_GET_SIZE(terms)) {
        Py_DECREF(result);
        return PyErr_Format(PyExc_ValueError, "bad counts");
      }
      PyObject* list = PyList_New(count);
      if (list == NULL) { Py_DECREF(result); return NULL; }
      for (Py_ssize_t k = 0; k < count; ++k, next += 2) {
        PyObject* pair = PyTuple_New(2);
        if (pair == NULL) { Py_DECREF(list); Py_DECREF(result); return NULL; }
        PyObject* lhs = PyList_GET_ITEM(terms, next);
        PyObject* rhs = PyList_GET_ITEM(terms, next + 1);
        Py_INCREF(lhs);
        Py_INCREF(rhs);
        PyTuple_SET_ITEM(pair, 0, lhs);
        PyTuple_SET_ITEM(pair, 1, rhs);
        PyList_SET_ITEM(list, k, pair);
      }
      sides[side] = list;
    }
    PyObject* entry = PyTuple_New(2);
    if (entry == NULL) { Py_DECREF(sides[0]); Py_DECREF(sides[1]); Py_DECREF(result); return NULL; }
    PyTuple_SET_ITEM(entry, 0, sides[0]);
    PyTuple_SET_ITEM(entry, 1, sides[1]);
    PyList_SET_ITEM(result, i, entry);
  }
  return result;
}

static PyMethodDef methods[] = {{"build", build, METH_VARARGS, NULL}, {NULL, NULL, 0, NULL}};
static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "view_floor", NULL, -1, methods,
                                    NULL, NULL, NULL, NULL};
PyMODINIT_FUNC PyInit_view_floor(void) { return PyModule_Create(&module); }
