#pragma once
// The Python form of terms and sequents, built once when a sequent is declared.
//
// A term becomes a new 2-tuple of a new str and a new list: "?" and the number with an empty
// list for a variable; the function's name and the list of its arguments' forms for an
// application. Every occurrence gets objects of its own.

#include <Python.h>

#include <cstddef>
#include <string_view>
#include <vector>

#include "capi/ref.hpp"
#include "logic/pod_vector.hpp"
#include "logic/sequent.hpp"
#include "logic/signature.hpp"
#include "logic/unicode.hpp"

namespace kestrin {

// The Python form of one sequent: the forms of its terms, two per equation, premises first.
// The forms themselves lie in one array for the whole environment, sequent after sequent
// (`term_objects`), so that reading them all back walks that array in order; a sequent's
// entry says how many of them are its own.
struct SequentObjects {
  std::size_t premise_count = 0;
  std::size_t conclusion_count = 0;

  std::size_t term_count() const noexcept { return 2 * (premise_count + conclusion_count); }
};

// Empty 2-tuples (made by new_tuple) for the top-level terms of the sequents to come, made in
// batches so that the top-level terms of consecutive sequents lie side by side in memory: the
// `sequents` view touches exactly these, in this order, and would otherwise meet a new memory
// page at almost every sequent, each costing a page-table walk.
class TermTupleReserve {
 public:
  // Makes sure that `count` tuples can be taken; `stored` is how many the environment holds,
  // which sets the size of a new batch.
  void make_room(std::size_t count, std::size_t stored);
  Ref take() noexcept { return std::move(spare_[next_++]); }
  void drop() { drop_all(spare_); }

 private:
  std::vector<StoredRef> spare_;
  std::size_t next_ = 0;
};

// A new str with the given UTF-8 text (never a shared or cached object, except for the
// interpreter's one empty string).
Ref new_str(std::string_view utf8, const TextShape& shape);
// The same, or NULL with the interpreter's exception pending.
PyObject* make_str(std::string_view utf8, const TextShape& shape) noexcept;
inline Ref new_str(std::string_view utf8) {
  return new_str(utf8, shape_of(utf8));
}

// An argument list being filled: its first `next` items are in place.
struct OpenList {
  PyObject* list;
  Py_ssize_t next;
};

// Appends the forms of every term of `sequent` to `terms`, which must have room for them, and
// says how many there are; writes the sequent's line into its text buffer in the same walk
// (see render.hpp), and clears `ascii` if a function name in it is not ASCII. The top-level
// tuples are taken from `reserve`, which must hold enough. On failure `terms` is left as it
// was. `open` is working memory for the applications being filled.
SequentObjects append_sequent_objects(const Signature& signature, Sequent& sequent,
                                      std::vector<StoredRef>& terms, TermTupleReserve& reserve,
                                      PodVector<OpenList>& open, bool& ascii);

}  // namespace kestrin
