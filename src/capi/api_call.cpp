#include "capi/api_call.hpp"

#include "capi/caller_code.hpp"
#include "logic/internal_fault.hpp"

namespace kestrin {

void api_failure() {
  print_error();
  throw InternalFault{"Python API call failed"};
}

Ref take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return Ref();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
#endif
}

void print_exception(PyObject* exception) {
  CallerCode caller_code;  // sys.stderr is whatever the caller made it
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_DisplayException(exception);
#else
  Ref traceback = Ref::steal(PyException_GetTraceback(exception));
  PyErr_Display(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception, traceback.get());
#endif
  // The display reports its own failures (a broken sys.stderr, say) and carries on; nothing it
  // raised may leak into the call that goes on to fault.
  PyErr_Clear();
}

void print_error() {
  Ref exception = take_raised_exception();
  if (exception) print_exception(exception.get());
}

}  // namespace kestrin
