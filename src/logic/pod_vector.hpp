#pragma once
// A growable array of trivially copyable elements, for the parser's working memory.
//
// A text that is refused must not cost many times its own size, and a std::vector that doubles
// holds the old and the new array at once while it copies: half again more than the data at
// every growth. Large arrays here live in pages of their own (see pages.hpp), which grow on
// Linux by moving page mappings instead of copying bytes, so growing never holds two copies,
// and the pages reserved but not yet written cost nothing. What such an array costs is what it
// holds. Small arrays use the C allocator, as a mapping per array would waste most of a page.
//
// Under AddressSanitizer every array uses the C allocator, so that its bounds are checked.

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "logic/pages.hpp"

namespace kestrin {

template <class T>
class PodVector {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  PodVector() noexcept = default;
  PodVector(const PodVector&) = delete;
  PodVector& operator=(const PodVector&) = delete;
  ~PodVector() { deallocate(); }

  void swap(PodVector& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(mapped_bytes_, other.mapped_bytes_);
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

  // May throw std::bad_alloc, leaving the array as it was.
  void push_back(const T& value) {
    if (size_ == capacity_) grow(size_ + 1);
    data_[size_++] = value;
  }
  void pop_back() noexcept { --size_; }
  void clear() noexcept { size_ = 0; }

  // Replaces the contents with `count` zero bytes' worth of elements.
  void assign_zeroed(std::size_t count) {
    clear();
    if (count > capacity_) grow(count);
    std::memset(static_cast<void*>(data_), 0, count * sizeof(T));
    size_ = count;
  }

  // Gives the memory back when it holds more than `keep_bytes`.
  void release_above(std::size_t keep_bytes) noexcept {
    if (capacity_ * sizeof(T) > keep_bytes) PodVector().swap(*this);
  }

 private:
#if defined(__SANITIZE_ADDRESS__)
  static constexpr std::size_t kMapFrom = ~std::size_t{0};
#else
  static constexpr std::size_t kMapFrom = std::size_t{1} << 18;
#endif

  // Out of line: it runs once per doubling, and inlined it would only crowd the callers.
  [[gnu::noinline]] void grow(std::size_t need) {
    constexpr std::size_t kMax = (~std::size_t{0} / 2) / sizeof(T);
    if (need > kMax) throw std::bad_alloc();
    std::size_t count = std::max({need, std::min(2 * capacity_, kMax), std::size_t{16}});
    std::size_t bytes = count * sizeof(T);
    if (bytes < kMapFrom) {
      void* p = std::realloc(static_cast<void*>(data_), bytes);
      if (p == nullptr) throw std::bad_alloc();
      data_ = static_cast<T*>(p);
      capacity_ = count;
      return;
    }
    bytes = pages::round_up(bytes);
    if (bytes == 0) throw std::bad_alloc();
    void* p;
    if (mapped_bytes_ != 0) {
      p = pages::grow(static_cast<void*>(data_), mapped_bytes_, bytes, size_ * sizeof(T));
    } else {
      p = pages::map(bytes);
      if (p != nullptr) {
        if (size_ != 0) std::memcpy(p, static_cast<const void*>(data_), size_ * sizeof(T));
        std::free(static_cast<void*>(data_));
      }
    }
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(p);
    mapped_bytes_ = bytes;
    capacity_ = bytes / sizeof(T);
  }

  void deallocate() noexcept {
    if (mapped_bytes_ != 0) {
      pages::unmap(static_cast<void*>(data_), mapped_bytes_);
    } else {
      std::free(static_cast<void*>(data_));
    }
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t mapped_bytes_ = 0;  // non-zero while the array lives in a mapping of its own
};

}  // namespace kestrin
