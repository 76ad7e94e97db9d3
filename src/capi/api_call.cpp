#include "capi/api_call.hpp"

#include "logic/internal_fault.hpp"

namespace kestrin {

void api_failure() {
  if (PyErr_Occurred()) PyErr_Print();
  throw InternalFault{"Python API call failed"};
}

}  // namespace kestrin
