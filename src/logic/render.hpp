#pragma once
// The canonical text of an environment's sequents: one line per sequent, in declaration
// order, terms in prefix notation, variables as "?" and their number.
//
// A sequent's line is measured and then written into a buffer of exactly that size, once, when
// the sequent is stored; the text of the environment is those lines joined, written straight
// into the storage of the str that the caller makes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "logic/sequent.hpp"
#include "logic/signature.hpp"

namespace kestrin {

struct RenderedSize {
  std::size_t bytes = 0;
  bool ascii = true;  // no function name in the text holds a character beyond ASCII
};

// The size of one sequent's line, without its line end.
RenderedSize measure_sequent(const Signature& signature, const SequentView& sequent,
                             std::vector<std::uint64_t>& open);

// Writes exactly `measure_sequent(...).bytes` bytes at `out`. `open` is working memory for the
// applications that are open while a term is written.
void render_sequent(const Signature& signature, const SequentView& sequent, char* out,
                    std::vector<std::uint64_t>& open);

// The whole text: every stored sequent's line, each followed by "\n". A stored sequent keeps
// its line, so this is a concatenation into `out`, which must hold
// `environment_text_size` bytes.
std::size_t environment_text_size(std::span<const Sequent> sequents) noexcept;
void render_environment(std::span<const Sequent> sequents, char* out) noexcept;

}  // namespace kestrin
