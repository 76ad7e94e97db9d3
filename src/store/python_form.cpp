#include "store/python_form.hpp"

#include <algorithm>
#include <cstring>

#include "capi/api_call.hpp"
#include "capi/containers.hpp"
#include "logic/internal_fault.hpp"
#include "logic/render.hpp"
#include "logic/short_copy.hpp"

namespace kestrin {
namespace {

// A new str of ASCII text.
Ref ascii_str(std::string_view text) {
  Ref str = ObjectBuild::checked(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 0x7F));
  copy_bytes(PyUnicode_1BYTE_DATA(str.get()), text.data(), text.size());
  return str;
}

// Makes the tuple of the next argument of `list`, in its place.
PyObject* next_child(OpenList& list, ObjectBuild& build) {
  Ref child = build.tuple(2);
  PyObject* tuple = child.get();
  put_list_item(list.list, static_cast<std::size_t>(list.next++), std::move(child));
  return tuple;
}

// term_object: fills `tuple` with the form of the term at `p`, writes the term's text to
// `line`, and advances `p`. The preorder nodes are walked with an explicit stack of the
// argument lists being filled, so that no depth of nesting can exhaust the native stack. Each
// tuple is made before its contents, so that the collector meets a referrer before what it
// refers to.
void fill_term(const Signature& signature, const Term*& p, PyObject* tuple, ObjectBuild& build,
               LineWriter& line, bool& ascii, PodVector<OpenList>& open) {
  open.clear();
  for (;;) {
    const Term& term = *p++;
    if (term.is_variable()) {
      put_tuple_item(tuple, 0, ascii_str(line.variable(term.id)));
      put_tuple_item(tuple, 1, build.list(0));
    } else {
      const FunctionEntry& function = signature.function(term.id);
      if (function.shape.max_char < 0x80) {
        put_tuple_item(tuple, 0, ascii_str(function.name));
      } else {
        ascii = false;
        put_tuple_item(tuple, 0, ObjectBuild::checked(make_str(function.name, function.shape)));
      }
      Ref arguments = build.list(term.arity);
      if (term.arity != 0) {
        line.open(function.name);
        open.push_back(OpenList{arguments.get(), 0});
        put_tuple_item(tuple, 1, std::move(arguments));
        tuple = next_child(open.back(), build);
        continue;
      }
      line.constant(function.name);
      put_tuple_item(tuple, 1, std::move(arguments));
    }
    // A subtree is complete: close what it completes, or go on to the next argument.
    for (;;) {
      if (open.empty()) return;
      if (open.back().next != PyList_GET_SIZE(open.back().list)) {
        line.separate();
        break;
      }
      line.close();
      open.pop_back();
    }
    tuple = next_child(open.back(), build);
  }
}

// Where containers are hidden until complete (see ObjectBuild): hands every container of the
// complete term at `tuple` to the collector, each parent before its children, so that the
// collector's passes meet a referrer before what it refers to instead of setting each child
// aside and taking it back again.
[[maybe_unused]] void track_term(PyObject* tuple, PodVector<OpenList>& open) {
  open.clear();
  for (;;) {
    finish(tuple);
    PyObject* arguments = PyTuple_GET_ITEM(tuple, 1);
    finish(arguments);
    if (PyList_GET_SIZE(arguments) != 0) open.push_back(OpenList{arguments, 0});
    for (;;) {
      if (open.empty()) return;
      OpenList& top = open.back();
      if (top.next != PyList_GET_SIZE(top.list)) {
        tuple = PyList_GET_ITEM(top.list, top.next++);
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
    copy_bytes(PyUnicode_1BYTE_DATA(text), utf8.data(), utf8.size());
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

SequentObjects append_sequent_objects(const Signature& signature, Sequent& sequent,
                                      std::vector<StoredRef>& terms, TermTupleReserve& reserve,
                                      PodVector<OpenList>& open, bool& ascii) {
  SequentObjects objects{sequent.premise_count(), sequent.conclusion_count()};
  std::size_t first = terms.size();
  std::size_t count = objects.term_count();
  if (terms.capacity() - first < count)
    throw InternalFault{"no room reserved for a sequent's terms"};
  // Whatever ends the stretch early (an internal fault, memory running out, a failed call) takes
  // the objects it made with it. A guard rather than a handler that passes the exception on:
  // that cannot pass on a forced unwind in every C++ runtime.
  struct DropNew {
    std::vector<StoredRef>& terms;
    std::size_t first;
    bool keep = false;
    void now() {
      terms.erase(terms.begin() + static_cast<std::ptrdiff_t>(first), terms.end());
      keep = true;
    }
    ~DropNew() {
      if (!keep) now();
    }
  } drop_new{terms, first};
  bool failed = false;
  {
    ObjectBuild build;
    try {
      for (std::size_t i = 0; i < count; ++i) terms.push_back(reserve.take());
      LineWriter line(sequent.text_buffer(), sequent.text().size());
      const Term* p = sequent.nodes().data();
      for (std::size_t i = 0; i < count; ++i) {
        if (i == 2 * objects.premise_count) {
          line.arrow();
        } else if (i != 0) {
          i % 2 != 0 ? line.equals() : line.next_equation();
        }
        PyObject* tuple = terms[first + i].get();
        build.adopt(tuple);
        fill_term(signature, p, tuple, build, line, ascii, open);
        if constexpr (!kTrackWhenMade) track_term(tuple, open);
      }
      if (!line.complete()) throw InternalFault{"a sequent's line is shorter than measured"};
    } catch (ObjectBuild::Failed&) {
      failed = true;
    }
  }
  if (failed) {
    drop_new.now();
    api_failure();
  }
  drop_new.keep = true;
  return objects;
}

}  // namespace kestrin
