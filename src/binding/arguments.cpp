#include "binding/arguments.hpp"

#include <algorithm>
#include <string>

#include "capi/caller_code.hpp"

namespace kestrin {
namespace {

// A lying __len__ must not make us reserve without bound: the length is only a hint.
constexpr Py_ssize_t kMaxCapacityHint = 1 << 12;

std::string quoted(std::string_view name) {
  std::string text = "'";
  text.append(name).append("'");
  return text;
}

PendingError type_error(std::string message) {
  return PendingError::make(PyExc_TypeError, std::move(message));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string name_list(const std::vector<std::string_view>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) text.append(",");
      text.append(i + 1 == names.size() ? " and " : " ");
    }
    text.append(quoted(names[i]));
  }
  return text;
}

Result<std::string_view, PendingError> utf8_view(PyObject* text) {
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return PendingError::fetch();
  return std::string_view(data, static_cast<std::size_t>(size));
}

Result<std::string_view, PendingError> item_text(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    return conversion_error(object, "PyString");
  }
  return utf8_view(object);
}

}  // namespace

bool TextSequence::drop_runs_caller_code() const noexcept {
  for (const StoredRef& item : items) {
    if (!PyUnicode_CheckExact(item.get())) return true;
  }
  if (!list_copy) return false;
  const Py_ssize_t size = PyTuple_GET_SIZE(list_copy.get());
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(list_copy.get(), i))) return true;
  }
  return false;
}

std::optional<PendingError> parse_arguments(const MethodSpec& spec, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames,
                                            std::span<PyObject*> slots) {
  const std::size_t count = spec.parameters.size();
  if (static_cast<std::size_t>(nargs) > count) {
    std::string message(spec.call);
    message.append(" takes ").append(std::to_string(count));
    message.append(" positional arguments but ").append(std::to_string(nargs));
    message.append(nargs == 1 ? " was" : " were").append(" given");
    return type_error(std::move(message));
  }
  std::fill(slots.begin(), slots.end(), nullptr);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

  Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::optional<std::size_t> match;
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (data == nullptr) {
      // A lone surrogate: no parameter has one. Reading a keyword's own text runs no caller
      // code, so nothing but that encoding error (or a MemoryError) is dropped here.
      drop_error();
    } else {
      std::string_view text(data, static_cast<std::size_t>(size));
      for (std::size_t p = 0; p < count; ++p) {
        if (spec.parameters[p] == text) match = p;
      }
    }
    if (!match) {
      // CAUTION: runs caller code (__str__ of a str subclass; on 3.8 the keyword need not even
      // be a str). Whatever it raises is the call's error. Only the message goes through str():
      // matching above read the keyword's own text.
      CallerCode caller_code;
      Ref shown = Ref::steal(PyObject_Str(keyword));
      if (!shown) return PendingError::fetch();
      std::string name;
      if (!utf8_of(shown.get(), name)) api_failure();
      std::string message(spec.call);
      message.append(" got an unexpected keyword argument ").append(quoted(name));
      return type_error(std::move(message));
    }
    if (slots[*match] != nullptr) {
      std::string message(spec.call);
      message.append(" got multiple values for argument ").append(quoted(spec.parameters[*match]));
      return type_error(std::move(message));
    }
    slots[*match] = args[nargs + k];
  }

  std::vector<std::string_view> missing;
  for (std::size_t p = 0; p < count; ++p) {
    if (slots[p] == nullptr) missing.push_back(spec.parameters[p]);
  }
  if (missing.empty()) return std::nullopt;
  std::string message(spec.call);
  message.append(" missing ").append(std::to_string(missing.size()));
  message.append(" required positional ").append(missing.size() == 1 ? "argument" : "arguments");
  message.append(": ").append(name_list(missing));
  return type_error(std::move(message));
}

Result<std::string_view, PendingError> text_argument(PyObject* object, std::string_view parameter) {
  auto text = item_text(object);
  if (!text.ok()) return std::move(text.error()).for_parameter(parameter);
  return text;
}

Result<TextSequence, PendingError> text_sequence_argument(PyObject* object,
                                                          std::string_view parameter) {
  auto fail = [parameter](PendingError error) -> Result<TextSequence, PendingError> {
    return std::move(error).for_parameter(parameter);
  };
  TextSequence sequence;
  // Lists and tuples are walked directly: for them the iterator protocol runs no caller code
  // and yields exactly their items, and the container keeps the items alive.
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
#ifdef Py_GIL_DISABLED
    // Without a GIL another thread can change the list while it is read, and drop the last
    // reference to an item whose text is viewed: read a copy taken under the list's own lock,
    // which keeps every item alive.
    if (PyList_CheckExact(object)) {
      sequence.list_copy = Ref::steal(PyList_AsTuple(object));
      if (!sequence.list_copy) return fail(PendingError::fetch());
      object = sequence.list_copy.get();
    }
#endif
    Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
    sequence.texts.reserve(static_cast<std::size_t>(size));
    PyObject** items = PySequence_Fast_ITEMS(object);
    for (Py_ssize_t i = 0; i < size; ++i) {
      auto text = item_text(items[i]);
      if (!text.ok()) return fail(std::move(text.error()));
      sequence.texts.push_back(text.value());
    }
    return sequence;
  }

  CallerCode caller_code;
  // A failed instance test counts as "no", and a failed length request leaves only the hint
  // unknown; but a KeyboardInterrupt or the like raised there still stops the call.
  int is_text = PyObject_IsInstance(object, reinterpret_cast<PyObject*>(&PyUnicode_Type));
  if (is_text < 0) {
    if (auto interrupt = drop_ordinary_error()) return std::move(*interrupt);
    is_text = 0;
  }
  if (is_text) return PendingError::make(PyExc_ValueError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) return fail(conversion_error(object, "Sequence"));

  Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    if (auto interrupt = drop_ordinary_error()) return std::move(*interrupt);
    hint = 0;
  }
  hint = std::min(hint, kMaxCapacityHint);
  sequence.texts.reserve(static_cast<std::size_t>(hint));
  sequence.items.reserve(static_cast<std::size_t>(hint));

  Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (!iterator) return fail(PendingError::fetch());
  for (;;) {
    Ref item = Ref::steal(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred()) return fail(PendingError::fetch());
      break;
    }
    auto text = item_text(item.get());
    if (!text.ok()) return fail(std::move(text.error()));
    sequence.texts.push_back(text.value());
    sequence.items.push_back(std::move(item));
  }
  return sequence;
}

}  // namespace kestrin
