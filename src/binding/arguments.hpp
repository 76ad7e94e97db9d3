#pragma once
// Argument parsing and conversion for the methods: vector calls with keyword names, every
// parameter positional-or-keyword and required, and messages in the interpreter's own style.

#include <Python.h>

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "binding/errors.hpp"
#include "capi/caller_code.hpp"
#include "capi/ref.hpp"
#include "logic/result.hpp"

namespace kestrin {

struct MethodSpec {
  std::string_view call;  // "Environment.declare_function()", opening every message
  std::span<const std::string_view> parameters;
};

// Fills `slots` (one per parameter, borrowed references) from a vector call.
// CAUTION: runs caller code (str() of an unexpected keyword, for its message).
std::optional<PendingError> parse_arguments(const MethodSpec& spec, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames,
                                            std::span<PyObject*> slots);

// The UTF-8 text of a str argument, a view of the interpreter's own buffer.
Result<std::string_view, PendingError> text_argument(PyObject* object, std::string_view parameter);

// The texts of a sequence argument. Items that only the iteration keeps alive, or a copy of a
// list, are held here, so the views stay valid as long as this lives.
struct TextSequence {
  std::vector<std::string_view> texts;
  std::vector<StoredRef> items;
  // Without a GIL, a list is read from a copy taken under the list's own lock, since another
  // thread could change it and drop an item whose text is viewed. Dropping the copy can run
  // finalizers, so the caller takes it and drops it once the call has given its borrow back;
  // only a refused argument drops it here.
  Ref list_copy;

  // Not noexcept (see Ref): dropping the items can run their finalizers. On a thread that
  // was ended, every Ref keeps its own.
  ~TextSequence() {
    if ((items.empty() && !list_copy) || !interpreter_held()) return;
    CallerCode caller_code(drop_runs_caller_code());
    drop_all(items);
    list_copy = Ref();
  }
  // Whether anything held is other than an exact str, which has no finalizer to run.
  bool drop_runs_caller_code() const noexcept;
  TextSequence() = default;
  TextSequence(TextSequence&&) = default;
};

// CAUTION: runs caller code (instance test, __len__, __iter__, __next__).
Result<TextSequence, PendingError> text_sequence_argument(PyObject* object,
                                                          std::string_view parameter);

}  // namespace kestrin
