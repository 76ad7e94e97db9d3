#pragma once
// A value or an error, carried as data. The logic reports every expected failure this way
// and leaves it to the binding to turn it into a Python exception in one place.

#include <utility>
#include <variant>

namespace kestrin {

// The success value of an operation that produces nothing.
struct Done {};

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  T& value() noexcept { return *std::get_if<0>(&v_); }
  E& error() noexcept { return *std::get_if<1>(&v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace kestrin
