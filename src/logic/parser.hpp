#pragma once
// The sequent parser: text in, a Sequent or the first LogicError out.
//
// The syntax is cut by plain splitting, outermost first: the sequent at "=>", each side at ",",
// each equation at "=". A term is a name, or an application that a small parenthesis
// tokenizer cuts into a head and argument tokens, each argument being a term again. Names are
// resolved while parsing: a declared function symbol is a constant or a head, anything else is
// a variable numbered from the environment's counter.
//
// Terms are read by left-to-right scans with an explicit stack of open applications, never by
// recursion, so neither nesting depth nor length can exhaust the native stack or cost more
// than linear time. The working memory is a few bytes per byte of text at most, so that a
// text that is refused costs little more than its own size: a large text is first read
// without building its terms, and read again to build them only once it is known to be
// accepted.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "logic/logic_error.hpp"
#include "logic/pod_vector.hpp"
#include "logic/result.hpp"
#include "logic/sequent.hpp"
#include "logic/signature.hpp"

namespace kestrin {

// Variable names of one sequent. Variables are numbered in the order they enter the scope, so
// an entry's number is its position and is not stored. A name is kept as its place in the
// sequent's text where it has one, so an entry costs 16 bytes whatever the name's length. A
// handful of variables is the usual case and is found by a linear scan over their keys
// (Signature::name_key), which for a short name is the name itself; past that an index of
// 8-byte slots takes over, placed by the keyed hash of each name.
class VariableScope {
 public:
  // Empties the scope for a parse of `text`.
  void reset(std::string_view text) noexcept;
  // The position of `name`, whose key is `key`.
  std::optional<std::size_t> find(std::string_view name, std::uint64_t key,
                                  const Signature& signature) const noexcept;
  // Enters a name that is not in the scope yet. It may view `text` or any other buffer, which
  // need not outlive the call.
  void insert(std::string_view name, std::uint64_t key, const Signature& signature);
  std::size_t size() const noexcept { return names_.size(); }
  // Gives back memory beyond what a small declaration needs.
  void trim() noexcept;

 private:
  struct NameRef {
    std::size_t offset;  // into the text, or text size + offset into `kept_`
    std::size_t length;
  };
  static constexpr std::size_t kLinear = 16;
  // 32 bits of the name's keyed hash, for the index.
  static std::uint32_t tag(std::string_view name, std::uint64_t key,
                           const Signature& signature) noexcept {
    if (is_short_key(key)) key = signature.hash_function_name(name);
    return static_cast<std::uint32_t>(key);
  }
  std::string_view name(std::size_t i) const noexcept;
  void index(std::uint32_t tag, std::size_t position) noexcept;
  void grow_index(const Signature& signature);

  std::string_view text_;
  PodVector<NameRef> names_;
  std::string kept_;                         // names that are not contiguous in the text
  std::uint64_t linear_keys_[kLinear] = {};  // the keys of the first kLinear names
  PodVector<std::uint64_t> slots_;           // tag << 32 | position + 1; 0 when free
};

namespace parser_detail {

// An application whose argument tokens are being read.
struct Level {
  std::size_t head_begin;  // its head token, once closed
  std::size_t head_end;
  std::size_t node;         // its node, when nodes are built
  std::uint64_t arguments;  // argument tokens closed so far
};

}  // namespace parser_detail

// A working array up to this size is kept between calls, enough for a declaration of a few
// thousand bytes; a larger one is given back after the call, so that an environment that once
// read a large text (or many environments that each did) does not hold on to its memory.
inline constexpr std::size_t kKeptScratchBytes = std::size_t{16} << 10;

// Working memory of the parser, kept between calls so that a declaration allocates nothing
// but its result. Nothing in it carries meaning from one call to the next, but for what the
// lookups of short names found in the same signature.
struct ParserScratch {
  PodVector<Term> nodes;
  PodVector<parser_detail::Level> levels;
  VariableScope scope;
  std::string joined;          // a name whose text is not contiguous in the input
  ShortNameCache short_names;  // unlike the rest, kept from one parse to the next

  // Gives back memory beyond what a small declaration needs.
  void trim() noexcept;
};

// Parses `text`. Variable numbers are taken from `next_variable_id` as variables are met and
// are not given back when a later part of the text is refused. The result views `scratch`.
Result<SequentView, LogicError> parse_sequent(const Signature& signature,
                                              std::uint64_t& next_variable_id,
                                              std::string_view text, ParserScratch& scratch);

}  // namespace kestrin
