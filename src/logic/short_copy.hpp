#pragma once
// Copying a few bytes without a call: names and numbers are mostly a handful of bytes, and a
// call into the C library's memcpy costs more than moving them.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestrin {

// Copies `n` bytes from `in` to `out`; the ranges do not overlap.
inline void copy_bytes(void* out, const void* in, std::size_t n) noexcept {
  auto* o = static_cast<unsigned char*>(out);
  const auto* i = static_cast<const unsigned char*>(in);
  // Two moves of a power of two that overlap in the middle cover every length from it to
  // twice it.
  if (n >= 8) {
    if (n > 16) {
      std::memcpy(o, i, n);
      return;
    }
    std::uint64_t a, b;
    std::memcpy(&a, i, 8);
    std::memcpy(&b, i + n - 8, 8);
    std::memcpy(o, &a, 8);
    std::memcpy(o + n - 8, &b, 8);
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, i, 4);
    std::memcpy(&b, i + n - 4, 4);
    std::memcpy(o, &a, 4);
    std::memcpy(o + n - 4, &b, 4);
  } else if (n != 0) {
    o[0] = i[0];
    o[n / 2] = i[n / 2];
    o[n - 1] = i[n - 1];
  }
}

}  // namespace kestrin
