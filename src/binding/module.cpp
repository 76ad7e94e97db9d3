// The module's init export. Single-phase initialisation, refused a second time in the same
// process: the class object and every instance are process-wide, so a second module object
// (after removal from sys.modules, or in another interpreter) could not be kept apart.
//
// On a free-threaded interpreter the module declares that it runs without the GIL: every entry
// point of an instance holds that instance's critical section, and the state shared between
// instances is the class object, made once before the module that publishes it exists, the
// atomic flag below and the internal-fault class, made once with an atomic exchange.

#include <Python.h>

#include <atomic>

#include "binding/environment_type.hpp"
#include "binding/frame.hpp"
#include "logic/fork_generation.hpp"

namespace kestrin {
namespace {

std::atomic<bool> module_initialized{false};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_kestrin", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

Outcome initialize() {
  Ref module = Ref::steal(PyModule_Create2(&module_definition, 1013));
  if (!module) return PendingError::fetch();
#ifdef Py_GIL_DISABLED
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return PendingError::fetch();
#endif
#ifdef PYPY_VERSION
  // PyPy takes an empty docstring for none and shows the module type's own.
  Ref doc = Ref::steal(PyUnicode_FromStringAndSize("", 0));
  if (!doc || PyObject_SetAttrString(module.get(), "__doc__", doc.get()) < 0) {
    return PendingError::fetch();
  }
#endif
  if (module_initialized.exchange(true)) {
    return PendingError::make(PyExc_ImportError,
                              "PyO3 modules may only be initialized once per interpreter process");
  }
  count_forks();
  PyObject* type = reinterpret_cast<PyObject*>(environment_type_or_fault());

  Ref all = Ref::steal(PyObject_GetAttrString(module.get(), "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PendingError::fetch();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all) return PendingError::fetch();
    if (PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) {
      return PendingError::fetch();
    }
  } else if (!PyList_Check(all.get())) {
    return PendingError::make(PyExc_TypeError, conversion_message(all.get(), "PyList"));
  }
  Ref name = Ref::steal(PyUnicode_FromStringAndSize("Environment", 11));
  if (!name || PyList_Append(all.get(), name.get()) < 0) {
    print_error();
    throw InternalFault{"could not append __name__ to __all__"};
  }
  if (PyObject_SetAttrString(module.get(), "Environment", type) < 0) {
    return PendingError::fetch();
  }
  return module;
}

}  // namespace
}  // namespace kestrin

// Everything else in the library is built hidden. From 3.9 on the macro exports the symbol on
// every system; before that only on Windows, so it is given the visibility that exports it.
#if PY_VERSION_HEX < 0x03090000 && !defined(_WIN32)
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif

PyMODINIT_FUNC PyInit__kestrin(void) {
  return kestrin::guarded(kestrin::initialize);
}
