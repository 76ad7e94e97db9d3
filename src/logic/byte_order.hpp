#pragma once
// Loads of little-endian words, the one place that knows the host's byte order. Keys built
// from a name's bytes (see short_names.hpp) and the hash of a name are defined over the bytes
// read as a little-endian number, so that they are the same numbers on every host.

#include <bit>
#include <cstdint>
#include <cstring>

namespace kestrin {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "mixed-endian hosts are not supported");

// Compilers turn these shifts into one byte-swapping instruction (or a reversed load).
constexpr std::uint32_t byte_swapped(std::uint32_t v) noexcept {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

constexpr std::uint64_t byte_swapped(std::uint64_t v) noexcept {
  return std::uint64_t{byte_swapped(static_cast<std::uint32_t>(v))} << 32 |
         byte_swapped(static_cast<std::uint32_t>(v >> 32));
}

inline std::uint32_t load_le32(const unsigned char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = byte_swapped(v);
  return v;
}

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = byte_swapped(v);
  return v;
}

}  // namespace kestrin
