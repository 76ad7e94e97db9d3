#pragma once
// The canonical text of an environment's sequents: one line per sequent, in declaration
// order, terms in prefix notation, variables as "?" and their number.
//
// A sequent's line is written once, when the sequent is stored, into a buffer of exactly its
// size: the parser measures the line as it builds the nodes (SequentView::line_size), and the
// walk that makes the sequent's Python objects (store/python_form.cpp) writes it through a
// LineWriter in the same pass, so that a variable's digits are formatted once for the line and
// its str. The text of the environment is those lines joined, written straight into the
// storage of the str that the caller makes.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "logic/internal_fault.hpp"
#include "logic/sequent.hpp"
#include "logic/short_copy.hpp"

namespace kestrin {

// The number of decimal digits of `n`.
constexpr std::size_t decimal_length(std::uint64_t n) noexcept {
  std::size_t length = 1;
  for (; n >= 10000; n /= 10000) length += 4;
  if (n >= 1000) return length + 3;
  if (n >= 100) return length + 2;
  return n >= 10 ? length + 1 : length;
}

// Writes the pieces of one line, in the order a preorder walk over the sequent's nodes meets
// them:
//   a variable            "?N"
//   a constant            its name
//   an application        "(" name " ", then its arguments, each followed by " " or, after the
//                         last one, ")"
//   between the two terms of an equation " = ", between equations ", ", between the sides " => ".
// Every write is checked against the end of the buffer: a line that does not fit the size the
// parser measured is a broken invariant, reported before anything is written past the end.
class LineWriter {
 public:
  LineWriter(char* out, std::size_t size) noexcept : out_(out), end_(out + size) {}

  // Returns the text written, which the str of the variable copies.
  std::string_view variable(std::uint64_t id) {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    const std::size_t length = 1 + decimal_length(id);
    room(length);
    char* begin = out_;
    *begin = '?';
    char* p = begin + length;
    while (id >= 100) {
      p -= 2;
      std::memcpy(p, kPairs + 2 * (id % 100), 2);
      id /= 100;
    }
    if (id >= 10) {
      std::memcpy(p - 2, kPairs + 2 * id, 2);
    } else {
      p[-1] = static_cast<char>('0' + id);
    }
    out_ = begin + length;
    return {begin, length};
  }
  void constant(std::string_view name) { text(name); }
  void open(std::string_view head) {
    room(head.size() + 2);
    *out_++ = '(';
    copy_bytes(out_, head.data(), head.size());
    out_ += head.size();
    *out_++ = ' ';
  }
  // After an argument: the next one follows, or the application closes.
  void separate() { character(' '); }
  void close() { character(')'); }
  void equals() { text(" = "); }
  void next_equation() { text(", "); }
  void arrow() { text(" => "); }

  // Whether the line filled its buffer exactly.
  bool complete() const noexcept { return out_ == end_; }

 private:
  void room(std::size_t size) const {
    if (size > static_cast<std::size_t>(end_ - out_)) [[unlikely]]
      overflow();
  }
  [[noreturn]] static void overflow();
  void character(char c) {
    room(1);
    *out_++ = c;
  }
  void text(std::string_view s) {
    room(s.size());
    copy_bytes(out_, s.data(), s.size());
    out_ += s.size();
  }

  char* out_;
  char* end_;
};

// The whole text: every stored sequent's line, each followed by "\n". A stored sequent keeps
// its line, so this is a concatenation into `out`, which must hold
// `environment_text_size` bytes.
std::size_t environment_text_size(std::span<const Sequent> sequents) noexcept;
void render_environment(std::span<const Sequent> sequents, char* out) noexcept;

}  // namespace kestrin
