#include "logic/pages.hpp"

#include <cstring>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace kestrin::pages {
namespace {

std::size_t system_page_size() noexcept {
#if defined(_WIN32)
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
#else
  long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<std::size_t>(size) : 4096;
#endif
}

void* map_pages(std::size_t bytes) noexcept {
#if defined(_WIN32)
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
#endif
}

}  // namespace

std::size_t size() noexcept {
  static const std::size_t page = system_page_size();
  return page;
}

std::size_t round_up(std::size_t bytes) noexcept {
  const std::size_t page = size();
  if (bytes > ~std::size_t{0} - (page - 1)) return 0;
  return (bytes + page - 1) / page * page;
}

void* map(std::size_t bytes) noexcept {
  return map_pages(bytes);
}

void* grow(void* p, std::size_t old_bytes, std::size_t new_bytes,
           [[maybe_unused]] std::size_t used_bytes) noexcept {
#if defined(__linux__)
  void* grown = mremap(p, old_bytes, new_bytes, MREMAP_MAYMOVE);
  return grown == MAP_FAILED ? nullptr : grown;
#else
  // No way to move pages here: the new mapping is made and filled before the old one goes.
  void* grown = map_pages(new_bytes);
  if (grown == nullptr) return nullptr;
  std::memcpy(grown, p, used_bytes);
  unmap(p, old_bytes);
  return grown;
#endif
}

void unmap(void* p, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(_WIN32)
  VirtualFree(p, 0, MEM_RELEASE);
#else
  munmap(p, bytes);
#endif
}

}  // namespace kestrin::pages
