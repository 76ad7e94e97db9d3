#include "binding/errors.hpp"

#include <atomic>

#include "capi/caller_code.hpp"

namespace kestrin {
namespace {

constexpr const char kInternalFaultDoc[] =
    "\n"
    "Raised when native code called from Python fails unexpectedly.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so an ordinary\n"
    "`except Exception` does not stop it: it usually travels to the top and ends the\n"
    "interpreter.\n";

// Not noexcept, as neither is anything that drops what the caller may own (see Ref): the
// exception replaced here is dropped.
void set_raised_exception(Ref exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
  Py_INCREF(type);
  PyObject* traceback = PyException_GetTraceback(exception.get());
  PyErr_Restore(type, exception.release(), traceback);
#endif
}

Ref decode_message(std::string_view message) noexcept {
  return Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                         "surrogatepass"));
}

constexpr std::string_view kNoTypeName = "<failed to extract type name>";

std::string cannot_convert(std::string_view type, std::string_view target) {
  std::string message = "'";
  message.append(type).append("' object cannot be converted to '").append(target).append("'");
  return message;
}

// An internal-fault exception raised by caller code has come back into the module.
[[noreturn]] void internal_fault_returned(Ref exception) {
  std::string description;
  Ref text = Ref::steal(PyObject_Str(exception.get()));
  if (!text || !utf8_of(text.get(), description)) {
    PyErr_Clear();
    description = "<unprintable internal fault>";
  }
  PySys_WriteStderr("An internal fault raised by Python code reached native code.\n");
  PySys_WriteStderr("It is passed on as a new internal fault; its traceback follows.\n");
  print_exception(exception.get());
  throw InternalFault{std::move(description)};
}

bool is_internal_fault(PyObject* exception) noexcept {
  PyObject* type = internal_fault_type();
  return type != nullptr && PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(type));
}

}  // namespace

PendingError PendingError::make(PyObject* type, std::string message) {
  PendingError error;
  error.type_ = type;
  error.message_ = std::move(message);
  return error;
}

PendingError PendingError::from_logic(const LogicError& error) {
  return make(PyExc_ValueError, error.message());
}

PendingError PendingError::fetch() {
  Ref exception = take_raised_exception();
  if (!exception) {
    return make(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  if (is_internal_fault(exception.get())) internal_fault_returned(std::move(exception));
  PendingError error;
  error.fetched_ = std::move(exception);
  return error;
}

bool PendingError::is_exactly(PyObject* type) const noexcept {
  if (fetched_) return reinterpret_cast<PyObject*>(Py_TYPE(fetched_.get())) == type;
  return type_ == type;
}

PendingError PendingError::for_parameter(std::string_view parameter) && {
  if (!is_exactly(PyExc_TypeError)) return std::move(*this);
  std::string message = "argument '";
  message.append(parameter).append("': ");
  Ref cause;
  if (fetched_) {
    CallerCode caller_code;  // str() of the caller's exception
    Ref text = Ref::steal(PyObject_Str(fetched_.get()));
    std::string first;
    if (!text || !utf8_of(text.get(), first)) {
      // The first error cannot even be printed: let it through as it is.
      if (auto interrupt = drop_ordinary_error()) return std::move(*interrupt);
      return std::move(*this);
    }
    message.append(first);
    cause = Ref::steal(PyException_GetCause(fetched_.get()));
  } else {
    message.append(message_);
  }
  PendingError reworded = make(PyExc_TypeError, std::move(message));
  reworded.set_cause_ = true;
  reworded.cause_ = std::move(cause);
  reworded.context_ = std::move(fetched_);
  return reworded;
}

void PendingError::restore() && {
  if (fetched_) {
    set_raised_exception(std::move(fetched_));
    return;
  }
  Ref message = decode_message(message_);
  if (!message) return;
  if (!set_cause_) {
    PyErr_SetObject(type_, message.get());
    return;
  }
  Ref exception = Ref::steal(PyObject_CallFunctionObjArgs(type_, message.get(), nullptr));
  if (!exception) return;
  // No cause is a NULL cause, as `raise ... from None` stores it: a None object there reads the
  // same from Python, but the interpreter's own traceback printing then shows it as a chained
  // exception that cannot be printed. Either way the context is suppressed.
  PyException_SetCause(exception.get(), cause_.release());
  if (!context_) {
    // The context is then the exception the caller is handling, as for any built-in's error.
    PyErr_SetObject(type_, exception.get());
    return;
  }
  // Not through PyErr_SetObject, which would put the exception the caller is handling in the
  // first error's place; the first error already has that one as its own context.
  PyException_SetContext(exception.get(), context_.release());
  set_raised_exception(std::move(exception));
}

PyObject* internal_fault_type() {
  // Without a GIL two threads can make the class at once: the first one stored is kept for the
  // life of the process, and the other is dropped before anything saw it.
  static std::atomic<PyObject*> type{nullptr};
  PyObject* known = type.load(std::memory_order_acquire);
  if (known != nullptr) return known;
  Ref exception = take_raised_exception();
  Ref made = Ref::steal(PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kInternalFaultDoc,
                                                  PyExc_BaseException, nullptr));
  if (!made) PyErr_Clear();
  if (exception) set_raised_exception(std::move(exception));
  if (!made) return nullptr;
  if (type.compare_exchange_strong(known, made.get(), std::memory_order_acq_rel)) {
    return made.release();
  }
  return known;
}

void raise_internal_fault(std::string_view description) {
  PyObject* type = internal_fault_type();
  Ref message = decode_message(description);
  if (!message) return;
  PyErr_SetObject(type != nullptr ? type : PyExc_SystemError, message.get());
}

void drop_error() {
  CallerCode caller_code;  // the exception's finalizer, or the report of an internal fault
  Ref exception = take_raised_exception();
  if (exception && is_internal_fault(exception.get())) {
    internal_fault_returned(std::move(exception));
  }
}

std::optional<PendingError> drop_ordinary_error() {
  CallerCode caller_code;  // the exception's finalizer, or the report of an internal fault
  Ref exception = take_raised_exception();
  if (!exception) return std::nullopt;
  if (is_internal_fault(exception.get())) internal_fault_returned(std::move(exception));
  if (PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
    return std::nullopt;
  }
  PendingError error;
  error.fetched_ = std::move(exception);
  return error;
}

bool utf8_of(PyObject* text, std::string& out) {
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!bytes) return false;
  out.assign(PyBytes_AS_STRING(bytes.get()),
             static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  return true;
}

namespace {

// A type whose metatype is `type` itself answers __qualname__ from its own slot; only another
// metatype can compute it.
bool name_lookup_runs_caller_code(PyObject* object) noexcept {
  return Py_TYPE(reinterpret_cast<PyObject*>(Py_TYPE(object))) != &PyType_Type;
}

}  // namespace

Result<std::string, PendingError> type_name(PyObject* object) {
  CallerCode caller_code(name_lookup_runs_caller_code(object));
  Ref name = Ref::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (!name) {
    if (auto interrupt = drop_ordinary_error()) return std::move(*interrupt);
    return std::string(kNoTypeName);
  }
  std::string text;
  if (!PyUnicode_Check(name.get())) return std::string(kNoTypeName);
  if (!utf8_of(name.get(), text)) {
    drop_error();
    return std::string(kNoTypeName);
  }
  return text;
}

PendingError conversion_error(PyObject* object, std::string_view target) {
  auto name = type_name(object);
  if (!name.ok()) return std::move(name.error());
  return PendingError::make(PyExc_TypeError, cannot_convert(name.value(), target));
}

std::string conversion_message(PyObject* object, std::string_view target) {
  // type_name, and the finalizer of what it raised if that is lost here
  CallerCode caller_code(name_lookup_runs_caller_code(object));
  auto name = type_name(object);
  return cannot_convert(name.ok() ? std::string_view(name.value()) : kNoTypeName, target);
}

}  // namespace kestrin
