#pragma once
// The signature part of an environment: sorts and function symbols, each numbered densely from
// 0 in the order they become known, the lookup indexes over their names, and the two
// declaration-ordered lists that Python reads back (`sorts`, `functions`).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "logic/logic_error.hpp"
#include "logic/result.hpp"
#include "logic/short_names.hpp"
#include "logic/siphash.hpp"
#include "logic/text_index.hpp"
#include "logic/unicode.hpp"

namespace kestrin {

// One entry of `functions`: the arguments of the declaration that made the symbol, copied.
struct FunctionSignature {
  std::string name;
  std::vector<std::string> argument_type;
  std::string result_type;
};

// A declared symbol by number. The name's shape is kept so that every occurrence of the
// symbol in a sequent can get its own Python str without decoding the name again.
struct FunctionEntry {
  std::string name;
  TextShape shape;
  std::vector<std::uint64_t> argument_sorts;
  std::uint64_t result_sort;
};

class Signature {
 public:
  Signature() noexcept;

  // Makes the sort known; true when it was new.
  bool register_sort(std::string_view name);

  // Declares a function symbol and, on success, appends the sorts this call made known and
  // the new entry to the exposed lists. Sorts are made known (result first, then arguments
  // left to right) before the name is checked, so a refused call still leaves them known.
  Result<Done, LogicError> declare_function(std::string_view name,
                                            std::span<const std::string_view> argument_type,
                                            std::string_view result_type);

  std::optional<std::uint64_t> sort_id(std::string_view name) const noexcept;

  // The keyed hash of a name, with 0xFF in its top byte so that it never equals a short key.
  std::uint64_t hash_function_name(std::string_view name) const noexcept {
    return siphash13(function_key_, name) | std::uint64_t{0xFF} << 56;
  }
  // What a name is looked up by, computed once for the function table and the parser's
  // variable scope: a short name's own bytes (short_names.hpp), a longer name's keyed hash.
  std::uint64_t name_key(std::string_view name) const noexcept {
    return name.size() <= kShortNameBytes ? short_key(name) : hash_function_name(name);
  }
  std::optional<std::uint64_t> function_id(std::string_view name,
                                           std::uint64_t key) const noexcept {
    if (is_short_key(key)) {
      if (short_functions_usable_) return short_functions_.find(key);
      key = hash_function_name(name);
    }
    return function_index_.find(name, key, [this](std::uint64_t id) -> std::string_view {
      return function_table_[id].name;
    });
  }
  std::optional<std::uint64_t> function_id(std::string_view name) const noexcept {
    return function_id(name, name_key(name));
  }

  // Throws InternalFault for a number that was never handed out: that is a broken invariant.
  const FunctionEntry& function(std::uint64_t id) const {
    if (id >= function_table_.size()) [[unlikely]]
      no_such_function(id);
    return function_table_[id];
  }
  std::size_t function_count() const noexcept { return function_table_.size(); }

  const std::vector<std::string>& sorts() const noexcept { return sorts_; }
  const std::vector<FunctionSignature>& functions() const noexcept { return functions_; }

 private:
  [[noreturn]] static void no_such_function(std::uint64_t id);

  SipKey sort_key_;
  SipKey function_key_;
  TextIndex sort_index_;                       // sort_ids
  std::vector<std::string> sort_names_;        // sort_names
  TextIndex function_index_;                   // function_ids, every name
  ShortNameSet short_functions_;               // function_ids, the short names while they fit
  bool short_functions_usable_ = true;         // false once more short names were declared
  std::vector<FunctionEntry> function_table_;  // function_names, argument_sorts, result_sorts
  std::vector<std::string> sorts_;
  std::vector<FunctionSignature> functions_;
};

}  // namespace kestrin
