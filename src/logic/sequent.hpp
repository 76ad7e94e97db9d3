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
#include <string_view>

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

// The terms of a sequent without their storage: what the parser hands over.
struct SequentView {
  std::span<const Term> nodes;
  std::size_t premise_count;
  std::size_t conclusion_count;
  std::size_t line_size;  // the length of its canonical line (see render.hpp)
};

// A stored sequent: its term nodes and its canonical text (written once, when the sequent is
// stored, since neither can change afterwards), in one allocation of exactly their size. The
// text is written after the nodes are copied in, into text_buffer().
class Sequent {
 public:
  explicit Sequent(const SequentView& view)
      : storage_(new std::byte[view.nodes.size() * sizeof(Term) + view.line_size]),
        node_count_(view.nodes.size()),
        text_size_(view.line_size),
        premise_count_(view.premise_count),
        conclusion_count_(view.conclusion_count) {
    std::copy(view.nodes.begin(), view.nodes.end(), reinterpret_cast<Term*>(storage_.get()));
  }

  std::span<const Term> nodes() const noexcept {
    return {reinterpret_cast<const Term*>(storage_.get()), node_count_};
  }
  SequentView view() const noexcept {
    return {nodes(), premise_count_, conclusion_count_, text_size_};
  }
  std::size_t premise_count() const noexcept { return premise_count_; }
  std::size_t conclusion_count() const noexcept { return conclusion_count_; }
  std::size_t equation_count() const noexcept { return premise_count_ + conclusion_count_; }

  std::string_view text() const noexcept { return {text_data(), text_size_}; }
  char* text_buffer() noexcept { return const_cast<char*>(text_data()); }

 private:
  const char* text_data() const noexcept {
    return reinterpret_cast<const char*>(storage_.get() + node_count_ * sizeof(Term));
  }

  std::unique_ptr<std::byte[]> storage_;
  std::size_t node_count_;
  std::size_t text_size_;
  std::size_t premise_count_;
  std::size_t conclusion_count_;
};

}  // namespace kestrin
