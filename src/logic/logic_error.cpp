#include "logic/logic_error.hpp"

#include <string_view>

namespace kestrin {

std::string LogicError::message() const {
  using namespace std::string_view_literals;
  std::string_view before, after;
  switch (kind) {
    case LogicErrorKind::NotDeclared:
      after = " has not been declared!"sv;
      break;
    case LogicErrorKind::AlreadyDeclared:
      after = " has already been declared!"sv;
      break;
    case LogicErrorKind::IllegalTerm:
      before = "Illegal Term "sv;
      break;
    case LogicErrorKind::IllegalSequent:
      before = "Illegal Sequent "sv;
      break;
  }
  std::string text;
  text.reserve(before.size() + payload.size() + after.size());
  text.append(before).append(payload).append(after);
  return text;
}

}  // namespace kestrin
