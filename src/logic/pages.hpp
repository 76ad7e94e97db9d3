#pragma once
// Memory taken from the system in whole pages, for arrays that grow large (see PodVector).
// This is the one place that knows how each system hands out pages:
//  * Linux maps anonymous memory and grows a mapping with mremap, which moves page mappings
//    instead of copying bytes, so growing never holds two copies;
//  * other POSIX systems (macOS, the BSDs) map and unmap, and grow by copying into a new
//    mapping;
//  * Windows reserves and commits with VirtualAlloc, and grows by copying too.
// Pages mapped but not yet written take no physical memory on any of them (Windows charges
// them against its commit limit at once, all the same). Sizes are rounded up to the
// system's own page size, which is not 4 KiB everywhere (16 KiB on Apple silicon, 64 KiB on
// some 64-bit ARM and POWER kernels).

#include <cstddef>

namespace kestrin::pages {

// The system's page size, in bytes.
std::size_t size() noexcept;

// `bytes` rounded up to a whole number of pages; 0 when that overflows.
std::size_t round_up(std::size_t bytes) noexcept;

// A new zero-filled mapping of `bytes` (a whole number of pages); nullptr when there is none.
void* map(std::size_t bytes) noexcept;

// The mapping `p` of `old_bytes` grown to `new_bytes` (whole numbers of pages), its first
// `used_bytes` kept, possibly at a new address; nullptr when it cannot grow, `p` then intact.
void* grow(void* p, std::size_t old_bytes, std::size_t new_bytes, std::size_t used_bytes) noexcept;

void unmap(void* p, std::size_t bytes) noexcept;

}  // namespace kestrin::pages
