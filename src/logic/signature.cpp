#include "logic/signature.hpp"

#include "logic/growth.hpp"
#include "logic/internal_fault.hpp"

namespace kestrin {

Signature::Signature() noexcept : sort_key_(random_sip_key()), function_key_(random_sip_key()) {}

std::optional<std::uint64_t> Signature::sort_id(std::string_view name) const noexcept {
  return sort_index_.find(name, siphash13(sort_key_, name),
                          [this](std::uint64_t id) -> std::string_view { return sort_names_[id]; });
}

bool Signature::register_sort(std::string_view name) {
  std::uint64_t hash = siphash13(sort_key_, name);
  auto key_of = [this](std::uint64_t id) -> std::string_view { return sort_names_[id]; };
  if (sort_index_.find(name, hash, key_of)) return false;
  // Everything that can fail comes first, so memory running out leaves no half-known sort.
  std::string copy(name);
  reserve_for(sort_names_, 1);
  sort_index_.reserve_one_more();
  sort_index_.insert(hash, sort_names_.size());
  sort_names_.push_back(std::move(copy));
  return true;
}

Result<Done, LogicError> Signature::declare_function(
    std::string_view name, std::span<const std::string_view> argument_type,
    std::string_view result_type) {
  std::vector<std::string_view> new_sorts;
  if (register_sort(result_type)) new_sorts.push_back(result_type);
  for (std::string_view sort : argument_type) {
    if (register_sort(sort)) new_sorts.push_back(sort);
  }

  if (function_id(name)) return LogicError{LogicErrorKind::AlreadyDeclared, std::string(name)};
  std::uint64_t hash = hash_function_name(name);
  const bool short_name = name.size() <= kShortNameBytes;

  // Build and reserve everything first; the appends below cannot fail, so the function
  // tables and the exposed lists grow together or not at all.
  FunctionEntry entry{std::string(name), shape_of(name), {}, *sort_id(result_type)};
  entry.argument_sorts.reserve(argument_type.size());
  FunctionSignature signature{std::string(name), {}, std::string(result_type)};
  signature.argument_type.reserve(argument_type.size());
  for (std::string_view sort : argument_type) {
    entry.argument_sorts.push_back(*sort_id(sort));
    signature.argument_type.emplace_back(sort);
  }
  std::vector<std::string> listed(new_sorts.begin(), new_sorts.end());
  reserve_for(sorts_, listed.size());
  reserve_for(functions_, 1);
  reserve_for(function_table_, 1);
  function_index_.reserve_one_more();
  bool into_short_set = short_name && short_functions_usable_ && !short_functions_.full();
  if (into_short_set) short_functions_.reserve_one_more();

  if (short_name && short_functions_usable_ && !into_short_set) {
    // One short name too many: from now on every name is looked up by its hash.
    short_functions_usable_ = false;
    short_functions_.clear();
  }
  if (into_short_set) short_functions_.insert(short_key(name), function_table_.size());
  function_index_.insert(hash, function_table_.size());
  function_table_.push_back(std::move(entry));
  for (std::string& sort : listed) sorts_.push_back(std::move(sort));
  functions_.push_back(std::move(signature));
  return Done{};
}

void Signature::no_such_function(std::uint64_t id) {
  throw InternalFault{"function number " + std::to_string(id) + " is not declared"};
}

}  // namespace kestrin
