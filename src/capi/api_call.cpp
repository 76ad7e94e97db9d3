#include "capi/api_call.hpp"

#include "capi/ref.hpp"
#include "logic/internal_fault.hpp"

namespace kestrin {

void api_failure() {
  print_error();
  throw InternalFault{"Python API call failed"};
}

void print_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  Ref exception = Ref::steal(PyErr_GetRaisedException());
  if (!exception) return;
  PyErr_DisplayException(exception.get());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value),
      owned_traceback = Ref::steal(traceback);
  if (value != nullptr) PyErr_Display(type, value, traceback);
#endif
  // The display reports its own failures (a broken sys.stderr, say) and carries on; nothing it
  // raised may leak into the call that goes on to fault.
  PyErr_Clear();
}

}  // namespace kestrin
