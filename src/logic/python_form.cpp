#include "logic/python_form.hpp"

#include <cstring>

#include "binding/containers.hpp"
#include "binding/errors.hpp"
#include "logic/internal_fault.hpp"

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

// Fills a tuple made by new_tuple(2) with the name of the node and a list for the forms of
// its arguments. A leaf is complete at once; a node with arguments is finished by fill_term.
void fill_node(const Signature& signature, const Term& term, PyObject* tuple) {
  if (term.is_variable()) {
    put_tuple_item(tuple, 0, variable_name(term.id));
    put_tuple_item(tuple, 1, finished(new_list(0)));
    finish(tuple);
    return;
  }
  const FunctionEntry& function = signature.function(term.id);
  put_tuple_item(tuple, 0, new_str(function.name, function.shape));
  if (term.arity == 0) {
    put_tuple_item(tuple, 1, finished(new_list(0)));
    finish(tuple);
  } else {
    put_tuple_item(tuple, 1, new_list(term.arity));
  }
}

// term_object: fills `tuple` with the form of the term at `p` and advances `p`. The preorder
// nodes are walked with an explicit stack of the applications whose argument lists are being
// filled, so that no depth of nesting can exhaust the native stack. Each tuple is made before
// its contents, and handed to the collector after them (see binding/containers.hpp).
void fill_term(const Signature& signature, const Term*& p, PyObject* tuple,
               std::vector<std::pair<PyObject*, Py_ssize_t>>& open) {
  open.clear();
  for (;;) {
    const Term& term = *p++;
    fill_node(signature, term, tuple);
    if (term.argument_count() != 0) open.emplace_back(tuple, 0);
    for (;;) {
      if (open.empty()) return;
      PyObject* arguments = PyTuple_GET_ITEM(open.back().first, 1);
      if (open.back().second != PyList_GET_SIZE(arguments)) break;
      finish(arguments);
      finish(open.back().first);
      open.pop_back();
    }
    Ref child = new_tuple(2);
    tuple = child.get();
    auto& [application, next] = open.back();
    put_list_item(PyTuple_GET_ITEM(application, 1), static_cast<std::size_t>(next),
                  std::move(child));
    ++next;
  }
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

SequentObjects append_sequent_objects(const Signature& signature, const Sequent& sequent,
                                      std::vector<Ref>& terms,
                                      std::vector<std::pair<PyObject*, Py_ssize_t>>& open) {
  SequentObjects objects{sequent.premise_count(), sequent.conclusion_count()};
  std::size_t first = terms.size();
  std::size_t count = objects.term_count();
  if (terms.capacity() - first < count) throw InternalFault{"no room reserved for a sequent's terms"};
  try {
    // The top-level tuples first, side by side in memory: the `sequents` view touches exactly
    // these, and walks them in this order.
    for (std::size_t i = 0; i < count; ++i) terms.push_back(new_tuple(2));
    const Term* p = sequent.nodes().data();
    for (std::size_t i = first; i < first + count; ++i) {
      fill_term(signature, p, terms[i].get(), open);
    }
  } catch (...) {
    terms.erase(terms.begin() + static_cast<std::ptrdiff_t>(first), terms.end());
    throw;
  }
  return objects;
}

}  // namespace kestrin
