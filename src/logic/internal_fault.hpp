#pragma once
// An internal fault: a broken invariant or an interpreter call that failed where success is
// expected. It is thrown, never returned, and only the call frame catches it. It deliberately
// does not derive from std::exception so that no generic handler can swallow it.

#include <string>

namespace kestrin {

struct InternalFault {
  std::string description;
};

}  // namespace kestrin
