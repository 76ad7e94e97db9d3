#pragma once
// SipHash-1-3 with a secret key. Names come from callers, so the maps keyed by them hash with a
// keyed PRF: without the key nobody can build names that collide, whatever the hash function
// of the standard library would do with them.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestrin {

struct SipKey {
  std::uint64_t k0;
  std::uint64_t k1;
};

std::uint64_t siphash13(const SipKey& key, std::string_view text) noexcept;

// A fresh key for one map: drawn from a generator seeded once per process by the OS.
SipKey random_sip_key() noexcept;

}  // namespace kestrin
