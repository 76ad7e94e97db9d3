#include "logic/render.hpp"

#include "logic/prefetch.hpp"

namespace kestrin {

void LineWriter::overflow() {
  throw InternalFault{"a sequent's line is longer than measured"};
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
