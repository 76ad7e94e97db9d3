#pragma once
// The sequent parser: text in, a Sequent or the first LogicError out.
//
// The syntax is cut by plain splitting, outermost first: the sequent at "=>", each side at ",",
// each equation at "=". A term is a name, or an application that a small parenthesis
// tokenizer cuts into a head and argument tokens, each argument being a term again. Names are
// resolved while parsing: a declared function symbol is a constant or a head, anything else is
// a variable numbered from the environment's counter.
//
// Terms are read in one left-to-right scan with a stack of open applications, never by
// recursion, so neither nesting depth nor length can exhaust the native stack or cost more
// than linear time.

#include <cstdint>
#include <forward_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logic/logic_error.hpp"
#include "logic/result.hpp"
#include "logic/sequent.hpp"
#include "logic/signature.hpp"
#include "logic/text_index.hpp"

namespace kestrin {

// Variable names of one sequent and their numbers. A handful of variables is the usual case
// and is found by a linear scan; past that an index takes over.
class VariableScope {
 public:
  std::optional<std::uint64_t> find(std::string_view name, std::uint64_t hash) const noexcept;
  // `name` must stay valid until `clear`.
  void insert(std::string_view name, std::uint64_t hash, std::uint64_t id);
  void clear() noexcept;

 private:
  static constexpr std::size_t kLinear = 16;
  struct Entry {
    std::string_view name;
    std::uint64_t hash;
    std::uint64_t id;
  };
  std::vector<Entry> entries_;
  TextIndex index_;
};

namespace parser_detail {

// A token of an application, found by the scan. Offsets are into the trimmed term text.
struct Token {
  static constexpr std::uint64_t kName = ~std::uint64_t{0};
  static constexpr std::size_t kNoSkip = ~std::size_t{0};
  std::size_t begin;    // application: where its head starts; name: where its text starts
  std::size_t end;      // application: where its head ends; name: where its text ends
  std::size_t skip;     // name: a "(" inside [begin, end) that is not part of it, or kNoSkip
  std::uint64_t arity;  // application: its argument count; kName for a name
};

// An application whose text is still being scanned.
struct Frame {
  enum Mode : unsigned char { kHead, kPending, kName, kChild };
  std::size_t slot;     // its Token
  std::int64_t depth;   // the tokenizer's depth; kept up to date for the innermost frame only
  std::uint64_t count;  // arguments closed so far
  bool has_head;
  Mode mode;          // what the token being collected is so far
  std::size_t begin;  // where that token starts
  std::size_t skip;
};

// An application whose arguments are being resolved.
struct Open {
  std::uint64_t remaining;
  std::size_t token;
  std::size_t node;
};

}  // namespace parser_detail

// Working memory of the parser, kept between calls so that a declaration allocates nothing
// but its result. Nothing in it carries meaning from one call to the next.
struct ParserScratch {
  std::vector<Term> nodes;
  std::vector<parser_detail::Token> tokens;
  std::vector<parser_detail::Frame> frames;
  std::vector<parser_detail::Open> open;
  VariableScope scope;
  std::string joined;                         // a name whose text is not contiguous in the input
  std::forward_list<std::string> kept_names;  // such names once they enter the scope

  // Gives back memory that one unusually large text left behind.
  void trim() noexcept;
};

// Parses `text`. Variable numbers are taken from `next_variable_id` as variables are met and
// are not given back when a later part of the text is refused. The result views `scratch`.
Result<SequentView, LogicError> parse_sequent(const Signature& signature,
                                              std::uint64_t& next_variable_id,
                                              std::string_view text, ParserScratch& scratch);

}  // namespace kestrin
