#include "logic/python_form.hpp"

#include <cstring>

#include "binding/containers.hpp"
#include "binding/errors.hpp"

namespace kestrin {
namespace {

Ref variable_name(std::uint64_t id) {
  char digits[20];
  char* end = digits + sizeof digits;
  char* p = end;
  do {
    *--p = static_cast<char>('0' + id % 10);
    id /= 10;
  } while (id != 0);
  Py_ssize_t length = end - p;
  PyObject* text = PyUnicode_New(length + 1, 0x7F);
  if (text == nullptr) api_failure();
  Py_UCS1* data = PyUnicode_1BYTE_DATA(text);
  data[0] = '?';
  std::memcpy(data + 1, p, static_cast<std::size_t>(length));
  return Ref::steal(text);
}

// The form of one node, with its argument list holding placeholders: the caller puts the
// forms of the argument subtrees into it, in order (see binding/containers.hpp for why the
// tuple comes first).
Ref node_object(const Signature& signature, const Term& term) {
  Ref tuple = new_tuple(2);
  if (term.is_variable()) {
    put_tuple_item(tuple.get(), 0, variable_name(term.id));
    put_tuple_item(tuple.get(), 1, new_list(0));
  } else {
    const FunctionEntry& function = signature.function(term.id);
    put_tuple_item(tuple.get(), 0, new_str(function.name, function.shape));
    put_tuple_item(tuple.get(), 1, new_list(term.arity));
  }
  return tuple;
}

// term_object, walking the preorder nodes with an explicit stack of lists being filled, so
// that no depth of nesting can exhaust the native stack.
Ref term_object(const Signature& signature, const Term*& p,
                std::vector<std::pair<PyObject*, Py_ssize_t>>& open) {
  open.clear();
  Ref root;
  do {
    const Term& term = *p++;
    Ref object = node_object(signature, term);
    PyObject* arguments = PyTuple_GET_ITEM(object.get(), 1);
    if (!root) {
      root = std::move(object);
    } else {
      auto& [list, next] = open.back();
      put_list_item(list, static_cast<std::size_t>(next), std::move(object));
      ++next;
    }
    if (term.argument_count() != 0) open.emplace_back(arguments, 0);
    while (!open.empty() && open.back().second == PyList_GET_SIZE(open.back().first)) {
      open.pop_back();
    }
  } while (!open.empty());
  return root;
}

}  // namespace

Ref new_str(std::string_view utf8, const TextShape& shape) {
  PyObject* text =
      PyUnicode_New(static_cast<Py_ssize_t>(shape.length), static_cast<Py_UCS4>(shape.max_char));
  if (text == nullptr) api_failure();
  if (shape.max_char < 0x80) {
    std::memcpy(PyUnicode_1BYTE_DATA(text), utf8.data(), utf8.size());
    return Ref::steal(text);
  }
  int kind = PyUnicode_KIND(text);
  void* data = PyUnicode_DATA(text);
  const char* p = utf8.data();
  for (std::size_t i = 0; i < shape.length; ++i) {
    std::size_t width;
    char32_t c = decode_utf8(p, width);
    PyUnicode_WRITE(kind, data, i, c);
    p += width;
  }
  return Ref::steal(text);
}

SequentObjects sequent_objects(const Signature& signature, const Sequent& sequent,
                               std::vector<std::pair<PyObject*, Py_ssize_t>>& open) {
  SequentObjects objects;
  std::size_t count = 2 * sequent.equation_count();
  objects.terms = std::make_unique<Ref[]>(count);
  objects.premise_count = sequent.premise_count();
  objects.conclusion_count = sequent.conclusion_count();
  const Term* p = sequent.nodes().data();
  for (std::size_t i = 0; i < count; ++i) objects.terms[i] = term_object(signature, p, open);
  return objects;
}

}  // namespace kestrin
