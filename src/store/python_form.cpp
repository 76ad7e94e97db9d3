#include "store/python_form.hpp"

#include <algorithm>
#include <cstring>

#include "capi/api_call.hpp"
#include "capi/containers.hpp"
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
  Ref text = ObjectBuild::checked(PyUnicode_New(length + 1, 0x7F));
  Py_UCS1* data = PyUnicode_1BYTE_DATA(text.get());
  data[0] = '?';
  std::memcpy(data + 1, p, static_cast<std::size_t>(length));
  return text;
}

// Fills an empty 2-tuple with the name of the node and a list for the forms of its arguments.
void fill_node(const Signature& signature, const Term& term, PyObject* tuple, ObjectBuild& build) {
  if (term.is_variable()) {
    put_tuple_item(tuple, 0, variable_name(term.id));
    put_tuple_item(tuple, 1, build.list(0));
  } else {
    const FunctionEntry& function = signature.function(term.id);
    put_tuple_item(tuple, 0, ObjectBuild::checked(make_str(function.name, function.shape)));
    put_tuple_item(tuple, 1, build.list(term.arity));
  }
}

// term_object: fills `tuple` with the form of the term at `p` and advances `p`. The preorder
// nodes are walked with an explicit stack of the argument lists being filled, so that no depth
// of nesting can exhaust the native stack. Each tuple is made before its contents, so that the
// collector meets a referrer before what it refers to.
void fill_term(const Signature& signature, const Term*& p, PyObject* tuple, ObjectBuild& build,
               std::vector<std::pair<PyObject*, Py_ssize_t>>& open) {
  open.clear();
  for (;;) {
    const Term& term = *p++;
    fill_node(signature, term, tuple, build);
    if (term.argument_count() != 0) open.emplace_back(PyTuple_GET_ITEM(tuple, 1), 0);
    while (!open.empty() && open.back().second == PyList_GET_SIZE(open.back().first)) {
      open.pop_back();
    }
    if (open.empty()) return;
    Ref child = build.tuple(2);
    tuple = child.get();
    auto& [list, next] = open.back();
    put_list_item(list, static_cast<std::size_t>(next), std::move(child));
    ++next;
  }
}

// Where containers are hidden until complete (see ObjectBuild): hands every container of the
// complete term at `tuple` to the collector, each parent before its children, so that the
// collector's passes meet a referrer before what it refers to instead of setting each child
// aside and taking it back again.
void track_term(PyObject* tuple, std::vector<std::pair<PyObject*, Py_ssize_t>>& open) {
  open.clear();
  for (;;) {
    finish(tuple);
    PyObject* arguments = PyTuple_GET_ITEM(tuple, 1);
    finish(arguments);
    if (PyList_GET_SIZE(arguments) != 0) open.emplace_back(arguments, 0);
    for (;;) {
      if (open.empty()) return;
      auto& [list, next] = open.back();
      if (next != PyList_GET_SIZE(list)) {
        tuple = PyList_GET_ITEM(list, next++);
        break;
      }
      open.pop_back();
    }
  }
}

}  // namespace

PyObject* make_str(std::string_view utf8, const TextShape& shape) noexcept {
  PyObject* text =
      PyUnicode_New(static_cast<Py_ssize_t>(shape.length), static_cast<Py_UCS4>(shape.max_char));
  if (text == nullptr) return nullptr;
  if (shape.max_char < 0x80) {
    std::memcpy(PyUnicode_1BYTE_DATA(text), utf8.data(), utf8.size());
    return text;
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
  return text;
}

Ref new_str(std::string_view utf8, const TextShape& shape) {
  PyObject* text = make_str(utf8, shape);
  if (text == nullptr) api_failure();
  return Ref::steal(text);
}

void TermTupleReserve::make_room(std::size_t count, std::size_t stored) {
  if (spare_.size() - next_ >= count) return;
  spare_.erase(spare_.begin(), spare_.begin() + static_cast<std::ptrdiff_t>(next_));
  next_ = 0;
  // A small environment stays in the caches whatever its layout and gets exactly the tuples it
  // needs; a large one gets them in batches that fill whole allocator pools.
  constexpr std::size_t kBatchesFrom = 4096;
  constexpr std::size_t kBatch = 1024;
  std::size_t batch = stored < kBatchesFrom ? count : std::max(count, kBatch);
  spare_.reserve(spare_.size() + batch);
  for (std::size_t i = 0; i < batch; ++i) spare_.push_back(new_tuple(2));
}

SequentObjects append_sequent_objects(const Signature& signature, const Sequent& sequent,
                                      std::vector<Ref>& terms, TermTupleReserve& reserve,
                                      std::vector<std::pair<PyObject*, Py_ssize_t>>& open) {
  SequentObjects objects{sequent.premise_count(), sequent.conclusion_count()};
  std::size_t first = terms.size();
  std::size_t count = objects.term_count();
  if (terms.capacity() - first < count)
    throw InternalFault{"no room reserved for a sequent's terms"};
  auto drop_new = [&] {
    terms.erase(terms.begin() + static_cast<std::ptrdiff_t>(first), terms.end());
  };
  bool failed = false;
  {
    ObjectBuild build;
    try {
      for (std::size_t i = 0; i < count; ++i) terms.push_back(reserve.take());
      const Term* p = sequent.nodes().data();
      for (std::size_t i = first; i < first + count; ++i) {
        build.adopt(terms[i].get());
        fill_term(signature, p, terms[i].get(), build, open);
        if constexpr (!kTrackWhenMade) track_term(terms[i].get(), open);
      }
    } catch (ObjectBuild::Failed&) {
      drop_new();
      failed = true;
    } catch (...) {
      drop_new();
      throw;
    }
  }
  if (failed) api_failure();
  return objects;
}

}  // namespace kestrin
