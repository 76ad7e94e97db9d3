#pragma once
// Names of up to seven bytes are looked up by their bytes instead of a keyed hash: packed with
// their length into one 64-bit word, such a name is its own key, compared in one instruction
// and never confused with another. Most names in sequents are this short, and hashing them with
// a keyed PRF costs more than the rest of their lookup.
//
// A set of short keys is kept sorted and searched by bisection, which takes log2(n) comparisons
// whatever names a caller picks: there is nothing for crafted names to collide in, where an
// unkeyed hash table could be made to degrade to a list. Inserting shifts the array, so a set
// holds at most kMaxShortNames keys; a signature with more short names than that looks all its
// names up through its keyed index alone.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "logic/byte_order.hpp"
#include "logic/growth.hpp"

namespace kestrin {

constexpr std::size_t kShortNameBytes = 7;

// The key of a name of at most kShortNameBytes bytes: its bytes read as a little-endian
// number, and its length in the top byte. A longer name's key (see Signature::name_key) has 0xFF
// there instead.
inline std::uint64_t short_key(std::string_view name) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(name.data());
  const std::size_t n = name.size();
  std::uint64_t bytes = 0;
  if (n >= 4) {
    // Two overlapping loads: the bytes they share are the same, so or-ing them is exact.
    bytes = load_le32(p) | std::uint64_t{load_le32(p + n - 4)} << (8 * (n - 4));
  } else if (n != 0) {
    bytes =
        p[0] | std::uint64_t{p[n / 2]} << (8 * (n / 2)) | std::uint64_t{p[n - 1]} << (8 * (n - 1));
  }
  return bytes | std::uint64_t{n} << 56;
}

inline bool is_short_key(std::uint64_t key) noexcept {
  return (key >> 56) <= kShortNameBytes;
}

class ShortNameSet {
 public:
  static constexpr std::size_t kMaxShortNames = 256;

  std::optional<std::uint64_t> find(std::uint64_t key) const noexcept {
    const Entry* base = entries_.data();
    std::size_t n = entries_.size();
    if (n == 0) return std::nullopt;
    while (n > 1) {
      const std::size_t half = n / 2;
      if (base[half].key <= key) base += half;
      n -= half;
    }
    if (base->key == key) return base->value;
    return std::nullopt;
  }

  bool full() const noexcept { return entries_.size() >= kMaxShortNames; }
  void clear() noexcept { std::vector<Entry>().swap(entries_); }

  // Makes room for one more entry, so that the following `insert` cannot fail. May throw
  // std::bad_alloc, leaving the set as it was.
  void reserve_one_more() { reserve_for(entries_, 1); }

  // The key must be absent and `reserve_one_more` called before.
  void insert(std::uint64_t key, std::uint64_t value) noexcept {
    auto at = entries_.begin();
    while (at != entries_.end() && at->key < key) ++at;
    entries_.insert(at, Entry{key, value});
  }

 private:
  struct Entry {
    std::uint64_t key;
    std::uint64_t value;
  };
  std::vector<Entry> entries_;
};

// What the lookups of short names in one signature found, remembered across the parses of an
// environment: a direct-mapped table of exact keys, so that a name met before costs a
// multiplication and one comparison, whether it names a function or not. Names that share a
// slot take turns in it; a miss costs the lookup it saves, so crafted names can make the table
// useless but never slower than the lookup alone.
class ShortNameCache {
 public:
  // Forgets everything unless the signature still has `function_count` functions: names are
  // only ever added to it, so the count tells whether an answer may have changed.
  void use_for(std::size_t function_count) noexcept {
    if (function_count == function_count_) return;
    function_count_ = function_count;
    for (Slot& slot : slots_) slot = Slot{};
  }

  // The function numbered by the short name with `key`; `lookup` asks the signature.
  template <class Lookup>
  std::optional<std::uint64_t> find(std::uint64_t key, Lookup&& lookup) {
    Slot& slot = slots_[(key * 0x9E3779B97F4A7C15u) >> (64 - kBits)];
    if (slot.key == key) {
      if (slot.value == kAbsent) return std::nullopt;
      return slot.value;
    }
    std::optional<std::uint64_t> found = lookup();
    slot = Slot{key, found ? *found : kAbsent};
    return found;
  }

 private:
  static constexpr int kBits = 8;
  static constexpr std::uint64_t kAbsent = ~std::uint64_t{0};
  struct Slot {
    std::uint64_t key = ~std::uint64_t{0};  // no short key: its top byte is never 0xFF
    std::uint64_t value = kAbsent;
  };
  Slot slots_[std::size_t{1} << kBits];
  std::size_t function_count_ = ~std::size_t{0};
};

}  // namespace kestrin
