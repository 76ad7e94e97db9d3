#include "logic/fork_generation.hpp"

#include <atomic>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace kestrin {
namespace {

std::atomic<unsigned> generation{0};

#if !defined(_WIN32)
// Runs in the child, where only async-signal-safe work is allowed: an atomic increment is.
void count_fork() {
  generation.fetch_add(1, std::memory_order_relaxed);
}
#endif

}  // namespace

void count_forks() noexcept {
#if !defined(_WIN32)
  pthread_atfork(nullptr, nullptr, count_fork);
#endif
}

unsigned fork_generation() noexcept {
  return generation.load(std::memory_order_relaxed);
}

}  // namespace kestrin
