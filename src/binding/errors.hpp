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
//
// Where a failure of caller code only costs the module a hint (a length, an instance test, a
// type's name for a message), an ordinary error (an Exception) is dropped. Anything else the
// caller raises there (KeyboardInterrupt, SystemExit, ...) means the program is to stop, and is
// raised unchanged.

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

#include "capi/api_call.hpp"
#include "capi/ref.hpp"
#include "logic/internal_fault.hpp"
#include "logic/logic_error.hpp"
#include "logic/result.hpp"

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
  // parameter, as `raise ... from None` in a handler of the first error would: the first
  // error's __cause__ is carried over, and a first error raised by caller code becomes the
  // suppressed __context__, so that the line that raised it can still be found. Every other
  // error passes unchanged.
  PendingError for_parameter(std::string_view parameter) &&;

  // Sets the interpreter's pending exception.
  void restore() &&;

 private:
  PendingError() = default;
  bool is_exactly(PyObject* type) const noexcept;
  friend std::optional<PendingError> drop_ordinary_error();

  PyObject* type_ = nullptr;  // a built-in type, for errors the module makes
  std::string message_;
  bool set_cause_ = false;
  Ref cause_;    // with set_cause_: the __cause__ to give the exception (no cause when empty)
  Ref context_;  // with set_cause_: the first error, when the interpreter raised it
  Ref fetched_;  // a normalized exception instance taken from the interpreter
};

// The internal-fault class, or nullptr when it could not be made. Making it allocates, which
// before 3.12 can run the collector and the finalizers of the caller's garbage.
PyObject* internal_fault_type();

// Sets the internal-fault exception with `description` as its message.
void raise_internal_fault(std::string_view description);

// Discards the pending exception (there may be none), unless it is an internal fault coming
// back through caller code: that one is reported and thrown on as an InternalFault. For
// failures of the module's own interpreter calls, where no caller code ran.
void drop_error();

// Discards the pending exception (there may be none) when it is an ordinary error, after a
// failure of caller code that the call survives. Anything else is taken and returned, for the
// call to raise unchanged; an internal fault is handled as by drop_error.
[[nodiscard]] std::optional<PendingError> drop_ordinary_error();

// The `__qualname__` of the object's type, or "<failed to extract type name>" when the lookup
// fails with an ordinary error or gives no str. The error is whatever else the lookup raised.
// CAUTION: runs caller code (a metaclass can compute the attribute).
Result<std::string, PendingError> type_name(PyObject* object);

// TypeError "'{type}' object cannot be converted to '{target}'", or what else type_name raised.
// CAUTION: runs caller code (see type_name).
PendingError conversion_error(PyObject* object, std::string_view target);

// The same message alone. A KeyboardInterrupt or the like raised while the type's name is
// looked up would be lost here, so it is for objects whose type runs no caller code for that.
std::string conversion_message(PyObject* object, std::string_view target);

// The UTF-8 text of a str, lone surrogates passed through; false when it cannot be had.
bool utf8_of(PyObject* text, std::string& out);

}  // namespace kestrin
