#pragma once
// How failures leave the module.
//
// Inside a call a failure travels as a PendingError: either a built-in exception type with a
// message the module made, or an exception fetched from the interpreter. The exception object
// is only made when the frame hands the error to the interpreter, so an error that is dropped
// on the way costs nothing.
//
// Internal faults are thrown as InternalFault and become the internal-fault exception class,
// "pyo3_runtime.PanicException", a BaseException subclass made at first need. That class is
// never turned into an ordinary error and never dropped: when caller code raises it into the
// module, it is reported on stderr and passed on as a new internal fault.

#include <Python.h>

#include <string>
#include <string_view>

#include "capi/api_call.hpp"
#include "capi/ref.hpp"
#include "logic/internal_fault.hpp"
#include "logic/logic_error.hpp"

namespace kestrin {

class PendingError {
 public:
  // `type` is a built-in exception type; `message` is UTF-8 in which the surrogatepass
  // encoding of a lone surrogate may stand (keyword names can hold one).
  static PendingError make(PyObject* type, std::string message);
  static PendingError from_logic(const LogicError& error);
  // Takes the interpreter's pending exception; SystemError when there is none. An exception of
  // the internal-fault class is reported and thrown on as an InternalFault instead.
  static PendingError fetch();

  // Argument conversion errors that are exactly TypeError are re-worded to name the
  // parameter; their __cause__ is carried over. Every other error passes unchanged.
  PendingError for_parameter(std::string_view parameter) &&;

  // Sets the interpreter's pending exception.
  void restore() &&;

 private:
  PendingError() = default;
  bool is_exactly(PyObject* type) const noexcept;

  PyObject* type_ = nullptr;  // a built-in type, for errors the module makes
  std::string message_;
  bool set_cause_ = false;
  Ref cause_;    // with set_cause_: the __cause__ to give the exception (no cause when empty)
  Ref fetched_;  // a normalized exception instance taken from the interpreter
};

// The internal-fault class, or nullptr when it could not be made.
PyObject* internal_fault_type() noexcept;

// Sets the internal-fault exception with `description` as its message.
void raise_internal_fault(std::string_view description) noexcept;

// Discards the pending exception (there may be none), unless it is an internal fault coming
// back through caller code: that one is reported and thrown on as an InternalFault.
void drop_error();

// The `__qualname__` of the object's type, or "<failed to extract type name>".
// CAUTION: runs caller code (a metaclass can compute the attribute).
std::string type_name(PyObject* object);

// "'{type}' object cannot be converted to '{target}'"
std::string conversion_message(PyObject* object, std::string_view target);

// The UTF-8 text of a str, lone surrogates passed through; false when it cannot be had.
bool utf8_of(PyObject* text, std::string& out);

}  // namespace kestrin
