#pragma once
// Interpreter calls that are expected to succeed. When one fails anyway (the interpreter is out
// of memory, say), its exception is printed to standard error and the call becomes an internal
// fault, which only the call frame catches.

#include <Python.h>

#include "capi/ref.hpp"

namespace kestrin {

// An interpreter call that must succeed has failed: print its exception and fault with
// "Python API call failed".
[[noreturn]] void api_failure();

// The pending exception, normalized, with its traceback attached; empty when none is set.
// CAUTION: runs caller code before 3.12 (normalizing calls the exception class).
Ref take_raised_exception();

// Writes `exception` with its traceback to sys.stderr. Never raises an exception of the
// interpreter's; not noexcept, as the caller's sys.stderr can let the thread be ended (a forced
// unwind, which must pass).
void print_exception(PyObject* exception);

// Takes the pending exception, if any, and prints it with print_exception.
//
// This is a report made in the middle of a call that goes on to raise an internal fault, not an
// uncaught exception, so sys.excepthook is not run: it is where programs decide to log and
// exit, and PyErr_Print would also end the process itself for a SystemExit. Only the
// interpreter's own display is used; it never exits, and runs no hook the caller installed.
void print_error();

}  // namespace kestrin
