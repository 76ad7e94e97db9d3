#pragma once

#include <Python.h>

namespace kestrin {

// The Environment class, made from its spec at first need and kept for the life of the
// process. Throws InternalFault when the interpreter refuses to make it.
PyTypeObject* environment_type_or_fault();

}  // namespace kestrin
