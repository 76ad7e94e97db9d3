#include "binding/environment_type.hpp"

#include <array>
#include <new>
#include <string_view>
#include <type_traits>

#include "binding/arguments.hpp"
#include "binding/frame.hpp"
#include "store/views.hpp"

namespace kestrin {
namespace {

PyTypeObject* the_type = nullptr;

constexpr std::array<std::string_view, 3> kDeclareFunctionParameters{"name", "argument_type",
                                                                     "result_type"};
constexpr std::array<std::string_view, 1> kDeclareSequentParameters{"s"};
constexpr MethodSpec kDeclareFunction{"Environment.declare_function()", kDeclareFunctionParameters};
constexpr MethodSpec kDeclareSequent{"Environment.declare_sequent()", kDeclareSequentParameters};

PyObject* declare_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  Ref list_copy;  // dropped after the borrow is given back (see TextSequence)
  return with_borrow<Borrow::kExclusive>(self, [&](Environment& record) -> Outcome {
    std::array<PyObject*, 3> slots;
    if (auto error = parse_arguments(kDeclareFunction, args, nargs, kwnames, slots)) {
      return std::move(*error);
    }
    auto name = text_argument(slots[0], "name");
    if (!name.ok()) return std::move(name.error());
    auto argument_type = text_sequence_argument(slots[1], "argument_type");
    if (!argument_type.ok()) return std::move(argument_type.error());
    list_copy = std::move(argument_type.value().list_copy);
    auto result_type = text_argument(slots[2], "result_type");
    if (!result_type.ok()) return std::move(result_type.error());
    auto declared = record.signature.declare_function(name.value(), argument_type.value().texts,
                                                      result_type.value());
    if (!declared.ok()) return PendingError::from_logic(declared.error());
    return Ref::new_ref(Py_None);
  });
}

PyObject* declare_sequent(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return with_borrow<Borrow::kExclusive>(self, [&](Environment& record) -> Outcome {
    std::array<PyObject*, 1> slots;
    if (auto error = parse_arguments(kDeclareSequent, args, nargs, kwnames, slots)) {
      return std::move(*error);
    }
    auto text = text_argument(slots[0], "s");
    if (!text.ok()) return std::move(text.error());
    auto declared = record.declare_sequent(text.value());
    if (!declared.ok()) return PendingError::from_logic(declared.error());
    return Ref::new_ref(Py_None);
  });
}

template <Ref (*View)(const Environment&)>
PyObject* getter(PyObject* self, void*) {
  return with_borrow<Borrow::kShared>(self,
                                      [](Environment& record) -> Outcome { return View(record); });
}

PyObject* environment_str(PyObject* self) {
  return with_borrow<Borrow::kShared>(
      self, [](Environment& record) -> Outcome { return text_view(record); });
}

// Arguments are ignored: the class has no __init__ to object to them either.
PyObject* environment_new(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded([type]() -> Outcome {
    allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    Ref self = Ref::steal(alloc(type, 0));
    if (!self) return PendingError::fetch();
    // An empty record allocates nothing, so building it in place cannot fail half way.
    static_assert(std::is_nothrow_default_constructible_v<Environment>);
    auto* object = reinterpret_cast<EnvironmentObject*>(self.get());
    new (&object->record) Environment();
    object->borrow = 0;
    return self;
  });
}

void environment_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // CAUTION: dropping the stored term objects can run caller code (__del__ of objects a
  // caller put into a term's argument list), which can end the thread: they are dropped here,
  // where the unwind can leave (the instance is then never freed), not by noexcept destructors.
  Environment& record = reinterpret_cast<EnvironmentObject*>(self)->record;
  record.drop_objects();
  record.~Environment();
  freefunc free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

#ifdef PYPY_VERSION
// PyPy's emulation of the C API gives every instance a dictionary, lets any class be
// subclassed, and copies or pickles an instance through the default reduction, which makes an
// empty one. These make the class on PyPy what it is on CPython, with CPython's messages; this
// is the one place that differs.

PyObject* refuse_reduction(PyObject*, PyObject* protocol) {
  const long number = PyLong_AsLong(protocol);
  if (number == -1 && PyErr_Occurred()) return nullptr;
  PyErr_SetString(PyExc_TypeError, number < 2 ? "cannot pickle 'Environment' object"
                                              : "cannot pickle 'builtins.Environment' object");
  return nullptr;
}

PyObject* refuse_subclass(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "type 'builtins.Environment' is not an acceptable base type");
  return nullptr;
}

PyObject* no_dictionary(PyObject*, void*) {
  PyErr_SetString(PyExc_AttributeError,
                  "'builtins.Environment' object has no attribute '__dict__'");
  return nullptr;
}

// Every attribute is refused as CPython 3.9 refuses it, naming the class by its full name: a
// view is not writable, a method's name (or one that every object has) is read-only, any
// other name (`__dict__` among them) does not exist. Names are compared, not looked up: PyPy's
// own rule would come back here, and handing a view's descriptor to C code crashes PyPy.
int refuse_attribute(PyObject*, PyObject* name, PyObject*) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'",
                 Py_TYPE(name)->tp_name);
    return -1;
  }
  auto is = [name](const char* text) { return PyUnicode_CompareWithASCIIString(name, text) == 0; };
  if (is("sorts") || is("functions") || is("sequents")) {
    PyErr_Format(PyExc_AttributeError,
                 "attribute '%U' of 'builtins.Environment' objects is not writable", name);
  } else if (!is("__dict__") &&
             (is("declare_function") || is("declare_sequent") ||
              PyObject_HasAttr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), name))) {
    PyErr_Format(PyExc_AttributeError, "'builtins.Environment' object attribute '%U' is read-only",
                 name);
  } else {
    PyErr_Format(PyExc_AttributeError, "'builtins.Environment' object has no attribute '%U'", name);
  }
  return -1;
}
#endif

PyMethodDef methods[] = {
    {"declare_function",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(declare_function)),
     METH_FASTCALL | METH_KEYWORDS, ""},
    {"declare_sequent",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(declare_sequent)),
     METH_FASTCALL | METH_KEYWORDS, ""},
#ifdef PYPY_VERSION
    {"__reduce_ex__", refuse_reduction, METH_O, nullptr},
    {"__init_subclass__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(refuse_subclass)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"sorts", getter<sorts_view>, nullptr, "", nullptr},
    {"functions", getter<functions_view>, nullptr, "", nullptr},
    {"sequents", getter<sequents_view>, nullptr, "", nullptr},
#ifdef PYPY_VERSION
    {"__dict__", no_dictionary, nullptr, nullptr, nullptr},
#endif
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* environment_type() noexcept {
  return the_type;
}

PyTypeObject* environment_type_or_fault() {
  if (the_type != nullptr) return the_type;
  PyType_Slot slots[] = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(environment_dealloc)},
      {Py_tp_new, reinterpret_cast<void*>(environment_new)},
      {Py_tp_str, reinterpret_cast<void*>(environment_str)},
      {Py_tp_methods, methods},
      {Py_tp_getset, getset},
#ifdef PYPY_VERSION
      {Py_tp_setattro, reinterpret_cast<void*>(refuse_attribute)},
#endif
      {0, nullptr},
  };
  PyType_Spec spec{"builtins.Environment", static_cast<int>(sizeof(EnvironmentObject)), 0,
                   Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) {
    print_error();
    throw InternalFault{"An error occurred while initializing class Environment"};
  }
  the_type = reinterpret_cast<PyTypeObject*>(type);
  return the_type;
}

}  // namespace kestrin
