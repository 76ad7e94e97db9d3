#pragma once
// Interpreter calls that are expected to succeed. When one fails anyway (the interpreter is out
// of memory, say), its exception is printed to standard error and the call becomes an internal
// fault, which only the call frame catches.

#include <Python.h>

namespace kestrin {

// An interpreter call that must succeed has failed: print its exception and fault with
// "Python API call failed".
[[noreturn]] void api_failure();

}  // namespace kestrin
