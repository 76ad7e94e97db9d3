#pragma once
// Terms, equations and sequents. A sequent keeps all its terms in one flat array in preorder:
// every node is followed by the subtrees of its arguments, so a tree of any depth is walked,
// copied and freed without recursion, and a node costs 16 bytes.
//
// The array holds the premises' equations and then the conclusions' equations; an equation is
// two consecutive terms, its left side first.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kestrin {

// One node of a term tree. `arity` tells the two kinds apart: kVariable marks a variable whose
// variable number is `id`; anything else is an application of the function numbered `id` to the
// next `arity` subtrees (a constant when 0). Variable and function numbers are separate spaces.
struct Term {
  static constexpr std::uint64_t kVariable = ~std::uint64_t{0};

  std::uint64_t id;
  std::uint64_t arity;

  bool is_variable() const noexcept { return arity == kVariable; }
  // The number of argument subtrees that follow this node.
  std::uint64_t argument_count() const noexcept { return is_variable() ? 0 : arity; }
};

class Sequent {
 public:
  Sequent(std::span<const Term> nodes, std::size_t premise_count, std::size_t conclusion_count)
      : nodes_(new Term[nodes.size()]),
        node_count_(nodes.size()),
        premise_count_(premise_count),
        conclusion_count_(conclusion_count) {
    std::copy(nodes.begin(), nodes.end(), nodes_.get());
  }

  std::span<const Term> nodes() const noexcept { return {nodes_.get(), node_count_}; }
  std::size_t premise_count() const noexcept { return premise_count_; }
  std::size_t conclusion_count() const noexcept { return conclusion_count_; }
  std::size_t equation_count() const noexcept { return premise_count_ + conclusion_count_; }

 private:
  std::unique_ptr<Term[]> nodes_;  // sized exactly: no spare capacity per stored sequent
  std::size_t node_count_;
  std::size_t premise_count_;
  std::size_t conclusion_count_;
};

// The end of the subtree that starts at `p`.
inline const Term* skip_term(const Term* p) noexcept {
  std::uint64_t pending = 1;
  while (pending != 0) {
    pending += p->argument_count();
    --pending;
    ++p;
  }
  return p;
}

}  // namespace kestrin
