#pragma once
// An open-addressing index from text to a dense number. It stores only (hash, number) pairs:
// the text of an entry lives with its owner, which hands a `key_of(number)` accessor to
// `find`. Hashes are computed by the owner with its secret key, so a lookup hashes a name once
// even when it consults two indexes that share that key.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrin {

class TextIndex {
 public:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

  template <class KeyOf>
  std::optional<std::uint64_t> find(std::string_view text, std::uint64_t hash,
                                    KeyOf&& key_of) const noexcept {
    if (slots_.empty()) return std::nullopt;
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.value == kEmpty) return std::nullopt;
      if (slot.hash == hash && key_of(slot.value) == text) return slot.value;
    }
  }

  // Makes room for one more entry, so that the following `insert` cannot fail. May throw
  // std::bad_alloc, leaving the index as it was.
  void reserve_one_more() {
    if ((size_ + 1) * 2 <= slots_.size()) return;
    std::vector<Slot> grown(slots_.empty() ? 16 : slots_.size() * 2);
    std::size_t mask = grown.size() - 1;
    for (const Slot& slot : slots_) {
      if (slot.value != kEmpty) place(grown, mask, slot);
    }
    slots_.swap(grown);
  }

  // The text must be absent and `reserve_one_more` called before.
  void insert(std::uint64_t hash, std::uint64_t value) noexcept {
    place(slots_, slots_.size() - 1, Slot{hash, value});
    ++size_;
  }

  std::size_t size() const noexcept { return size_; }

  void clear() noexcept {
    slots_.clear();
    size_ = 0;
  }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::uint64_t value = kEmpty;
  };

  static void place(std::vector<Slot>& slots, std::size_t mask, const Slot& slot) noexcept {
    std::size_t i = slot.hash & mask;
    while (slots[i].value != kEmpty) i = (i + 1) & mask;
    slots[i] = slot;
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

}  // namespace kestrin
