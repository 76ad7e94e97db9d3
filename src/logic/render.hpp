#pragma once
// The canonical text of an environment's sequents: one line per sequent, in declaration
// order, terms in prefix notation, variables as "?" and their number.
//
// The text is measured first and then written in one pass into a buffer of exactly that
// size, so the caller can hand the interpreter's own string storage to `render_environment`.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "logic/sequent.hpp"
#include "logic/signature.hpp"

namespace kestrin {

struct RenderedSize {
  std::size_t bytes = 0;
  bool ascii = true;  // no function name in the text holds a character beyond ASCII
};

RenderedSize measure_environment(const Signature& signature, std::span<const Sequent> sequents);

// Writes exactly `measure_environment(...).bytes` bytes at `out`. `open` is working memory for
// the applications that are open while a term is written.
void render_environment(const Signature& signature, std::span<const Sequent> sequents, char* out,
                        std::vector<std::uint64_t>& open);

// The text of one sequent, without its line end.
std::string render_sequent(const Signature& signature, const Sequent& sequent);

}  // namespace kestrin
