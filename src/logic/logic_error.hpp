#pragma once
// The one failure type of the logic: a kind and the text it is about.

#include <string>

namespace kestrin {

enum class LogicErrorKind { NotDeclared, AlreadyDeclared, IllegalTerm, IllegalSequent };

struct LogicError {
  LogicErrorKind kind;
  std::string payload;  // inserted verbatim: it may hold any byte, NUL included

  // The caller-visible message; it depends on the kind and payload only.
  std::string message() const;
};

}  // namespace kestrin
