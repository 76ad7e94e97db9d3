#include "capi/api_call.hpp"

#include "logic/internal_fault.hpp"

namespace kestrin {

void api_failure() {
  print_error();
  throw InternalFault{"Python API call failed"};
}

void print_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exception = PyErr_GetRaisedException();
  if (exception == nullptr) return;
  PyErr_DisplayException(exception);
  Py_DECREF(exception);
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) PyErr_Display(type, value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
#endif
  // The display reports its own failures (a broken sys.stderr, say) and carries on; nothing it
  // raised may leak into the call that goes on to fault.
  PyErr_Clear();
}

}  // namespace kestrin
