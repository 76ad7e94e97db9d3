#include "logic/environment.hpp"

#include "logic/growth.hpp"

namespace kestrin {

Result<Done, LogicError> Environment::declare_sequent(std::string_view text) {
  auto parsed = parse_sequent(signature, next_variable_id, text, parser_scratch);
  parser_scratch.trim();
  if (!parsed.ok()) return std::move(parsed.error());
  // Room for both entries first, so that the two lists stay parallel even when memory runs
  // out half way.
  reserve_for(sequent_records, 1);
  reserve_for(sequent_objects, 1);
  SequentObjects objects = kestrin::sequent_objects(signature, parsed.value(), open_lists);
  if (open_lists.capacity() > (std::size_t{1} << 16)) decltype(open_lists)().swap(open_lists);
  sequent_records.push_back(std::move(parsed.value()));
  sequent_objects.push_back(std::move(objects));
  return Done{};
}

}  // namespace kestrin
