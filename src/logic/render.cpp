#include "logic/render.hpp"

#include <cstring>
#include <string_view>

#include "logic/prefetch.hpp"

namespace kestrin {
namespace {

std::size_t decimal_length(std::uint64_t n) noexcept {
  std::size_t length = 1;
  while (n >= 10) {
    n /= 10;
    ++length;
  }
  return length;
}

class Measure {
 public:
  void text(std::string_view s) noexcept { size_.bytes += s.size(); }
  void character(char) noexcept { ++size_.bytes; }
  void number(std::uint64_t n) noexcept { size_.bytes += decimal_length(n); }
  void name(const FunctionEntry& f) noexcept {
    size_.bytes += f.name.size();
    if (f.shape.max_char > 0x7F) size_.ascii = false;
  }
  RenderedSize result() const noexcept { return size_; }

 private:
  RenderedSize size_;
};

class Write {
 public:
  explicit Write(char* out) noexcept : out_(out) {}
  void text(std::string_view s) noexcept {
    std::memcpy(out_, s.data(), s.size());
    out_ += s.size();
  }
  void character(char c) noexcept { *out_++ = c; }
  void number(std::uint64_t n) noexcept {
    char* end = out_ + decimal_length(n);
    char* p = end;
    do {
      *--p = static_cast<char>('0' + n % 10);
      n /= 10;
    } while (n != 0);
    out_ = end;
  }
  void name(const FunctionEntry& f) noexcept { text(f.name); }

 private:
  char* out_;
};

// Writes the term at `p` and returns the node after it. Applications that are still open are
// counted in `open` instead of on the native stack.
template <class Sink>
const Term* render_term(const Signature& signature, const Term* p, Sink& sink,
                        std::vector<std::uint64_t>& open) {
  open.clear();
  for (;;) {
    const Term& term = *p++;
    if (term.is_variable()) {
      sink.character('?');
      sink.number(term.id);
    } else if (term.arity == 0) {
      sink.name(signature.function(term.id));
    } else {
      sink.character('(');
      sink.name(signature.function(term.id));
      sink.character(' ');
      open.push_back(term.arity);
      continue;
    }
    // A subtree is complete: close what it completes, or separate it from the next argument.
    for (;;) {
      if (open.empty()) return p;
      if (--open.back() != 0) {
        sink.character(' ');
        break;
      }
      sink.character(')');
      open.pop_back();
    }
  }
}

template <class Sink>
const Term* render_equations(const Signature& signature, const Term* p, std::size_t count,
                             Sink& sink, std::vector<std::uint64_t>& open) {
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) sink.text(", ");
    p = render_term(signature, p, sink, open);
    sink.text(" = ");
    p = render_term(signature, p, sink, open);
  }
  return p;
}

template <class Sink>
void render_sequent(const Signature& signature, const SequentView& sequent, Sink& sink,
                    std::vector<std::uint64_t>& open) {
  const Term* p = sequent.nodes.data();
  p = render_equations(signature, p, sequent.premise_count, sink, open);
  sink.text(" => ");
  render_equations(signature, p, sequent.conclusion_count, sink, open);
}

}  // namespace

RenderedSize measure_sequent(const Signature& signature, const SequentView& sequent,
                             std::vector<std::uint64_t>& open) {
  Measure measure;
  render_sequent(signature, sequent, measure, open);
  return measure.result();
}

void render_sequent(const Signature& signature, const SequentView& sequent, char* out,
                    std::vector<std::uint64_t>& open) {
  Write write(out);
  render_sequent(signature, sequent, write, open);
}

std::size_t environment_text_size(std::span<const Sequent> sequents) noexcept {
  std::size_t size = 0;
  for (const Sequent& sequent : sequents) size += sequent.text().size() + 1;
  return size;
}

void render_environment(std::span<const Sequent> sequents, char* out) noexcept {
  for (std::size_t i = 0; i < sequents.size(); ++i) {
    // The lines live in separate allocations: ask for the next ones early.
    if (i + 4 < sequents.size()) prefetch(sequents[i + 4].text().data());
    std::string_view line = sequents[i].text();
    std::memcpy(out, line.data(), line.size());
    out += line.size();
    *out++ = '\n';
  }
}

}  // namespace kestrin
