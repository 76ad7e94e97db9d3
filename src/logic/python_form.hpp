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

#include "binding/ref.hpp"
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

// A new str with the given UTF-8 text (never a shared or cached object, except for the
// interpreter's one empty string).
Ref new_str(std::string_view utf8, const TextShape& shape);
inline Ref new_str(std::string_view utf8) { return new_str(utf8, shape_of(utf8)); }

// Appends the forms of every term of `sequent` to `terms`, which must have room for them, and
// says how many there are. On failure `terms` is left as it was. `open` is working memory for
// the applications being filled.
SequentObjects append_sequent_objects(const Signature& signature, const Sequent& sequent,
                                      std::vector<Ref>& terms,
                                      std::vector<std::pair<PyObject*, Py_ssize_t>>& open);

}  // namespace kestrin
