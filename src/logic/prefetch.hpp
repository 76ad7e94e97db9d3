#pragma once
// A prefetch the optimizer keeps.
//
// GCC treats __builtin_prefetch as free of side effects and deletes a loop whose body does
// nothing else, so a "prefetch these N objects" loop silently vanishes at -O2. On x86 the
// instruction is issued from volatile asm, which the optimizer may not drop.

namespace kestrin {

inline void prefetch(const void* address) noexcept {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  __asm__ volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#elif defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

}  // namespace kestrin
