#include "store/environment.hpp"

#include "logic/growth.hpp"

namespace kestrin {

Result<Done, LogicError> Environment::declare_sequent(std::string_view text) {
  auto parsed = parse_sequent(signature, next_variable_id, text, parser_scratch);
  if (!parsed.ok()) {
    parser_scratch.trim();
    return std::move(parsed.error());
  }
  Sequent sequent(parsed.value());
  parser_scratch.trim();
  // Room for both entries first, so that the two lists stay parallel even when memory runs
  // out half way.
  reserve_for(sequent_records, 1);
  reserve_for(sequent_objects, 1);
  reserve_for(term_objects, 2 * sequent.equation_count());
  term_tuples.make_room(2 * sequent.equation_count(), term_objects.size());
  bool ascii = true;
  SequentObjects objects = append_sequent_objects(signature, sequent, term_objects, term_tuples,
                                                  open_applications, ascii);
  open_applications.release_above(kKeptScratchBytes);
  sequent_records.push_back(std::move(sequent));
  sequent_objects.push_back(objects);
  text_ascii = text_ascii && ascii;
  return Done{};
}

}  // namespace kestrin
