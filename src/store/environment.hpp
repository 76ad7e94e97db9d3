#pragma once
// The record behind one Python Environment: the signature, the parsed sequents, the variable
// counter and the Python form of every sequent. It only grows; nothing is removed or changed
// in place while it lives.

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "logic/logic_error.hpp"
#include "logic/parser.hpp"
#include "logic/result.hpp"
#include "logic/sequent.hpp"
#include "logic/signature.hpp"
#include "store/python_form.hpp"

namespace kestrin {

class Environment {
 public:
  // Parses `text`, builds its Python form and stores both. Needs the interpreter lock.
  // A refused text stores nothing, but the variable numbers its parsing took stay taken.
  Result<Done, LogicError> declare_sequent(std::string_view text);

  // Drops every Python object held, in the order the destructor would, but where a finalizer
  // that ends the thread can leave (see Ref). Needs the interpreter lock.
  void drop_objects() {
    term_tuples.drop();
    drop_all(term_objects);
  }

  Signature signature;
  std::vector<Sequent> sequent_records;
  std::uint64_t next_variable_id = 0;
  // Parallel to sequent_records: entry i is the Python form of sequent i, whose term objects
  // follow those of the sequents before it in term_objects.
  std::vector<SequentObjects> sequent_objects;
  std::vector<StoredRef> term_objects;
  TermTupleReserve term_tuples;

  // Whether the environment's text is all ASCII.
  bool text_ascii = true;

  // Working memory for the methods; holds no state between calls but a cache of name lookups
  // (see ParserScratch).
  ParserScratch parser_scratch;
  PodVector<OpenList> open_applications;
};

}  // namespace kestrin
