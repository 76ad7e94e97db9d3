#include "logic/siphash.hpp"

#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <random>

#include "logic/byte_order.hpp"

namespace kestrin {
namespace {

inline std::uint64_t rotl(std::uint64_t x, int b) noexcept {
  return (x << b) | (x >> (64 - b));
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  inline void round() noexcept {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  inline void absorb(std::uint64_t m) noexcept {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

std::uint64_t splitmix64(std::uint64_t x) noexcept {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

std::uint64_t process_seed() noexcept {
  std::uint64_t seed = 0;
  try {
    std::random_device device;
    seed = (std::uint64_t{device()} << 32) ^ device();
    seed ^= std::uint64_t{device()} << 16;
  } catch (std::exception&) {
    // No entropy source: fall back to what differs between processes.
  }
  seed ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  seed ^= reinterpret_cast<std::uintptr_t>(&seed);
  return seed;
}

}  // namespace

std::uint64_t siphash13(const SipKey& key, std::string_view text) noexcept {
  SipState s{0x736f6d6570736575ULL ^ key.k0, 0x646f72616e646f6dULL ^ key.k1,
             0x6c7967656e657261ULL ^ key.k0, 0x7465646279746573ULL ^ key.k1};
  const char* p = text.data();
  std::size_t n = text.size();
  const char* end = p + (n & ~std::size_t{7});
  for (; p != end; p += 8) {
    s.absorb(load_le64(reinterpret_cast<const unsigned char*>(p)));
  }
  std::uint64_t last = static_cast<std::uint64_t>(n) << 56;
  for (std::size_t i = n & 7; i-- > 0;) {
    last |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  }
  s.absorb(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

SipKey random_sip_key() noexcept {
  static const std::uint64_t seed = process_seed();
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t n = counter.fetch_add(2, std::memory_order_relaxed);
  return SipKey{splitmix64(seed + n), splitmix64(seed + n + 1)};
}

}  // namespace kestrin
