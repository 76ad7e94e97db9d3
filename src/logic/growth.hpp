#pragma once
// Reserving room before a group of appends, so that the appends themselves cannot fail and
// related lists grow together or not at all when memory runs out.

#include <algorithm>
#include <cstddef>

namespace kestrin {

// Makes room for `extra` more elements, growing geometrically so that appends stay amortized
// constant time. May throw std::bad_alloc, leaving `v` unchanged.
template <class Vector>
void reserve_for(Vector& v, std::size_t extra) {
  std::size_t need = v.size() + extra;
  if (need <= v.capacity()) return;
  v.reserve(std::max(need, 2 * v.capacity()));
}

}  // namespace kestrin
