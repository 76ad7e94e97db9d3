#pragma once
// A value or an error, carried as data. The logic reports every expected failure this way
// and leaves it to the binding to turn it into a Python exception in one place.
//
// A tagged union of its own rather than std::variant: the standard library's destructors are
// noexcept whatever their members', and a binding's value may own something whose release can
// end the thread (a forced unwind), which has to pass through every frame that holds it.

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace kestrin {

// The success value of an operation that produces nothing.
struct Done {};

template <class T, class E>
class [[nodiscard]] Result {
  static constexpr bool kNothrowDestructible =
      std::is_nothrow_destructible_v<T> && std::is_nothrow_destructible_v<E>;

 public:
  Result(T value) : ok_(true) { new (&value_) T(std::move(value)); }
  Result(E error) : ok_(false) { new (&error_) E(std::move(error)); }
  Result(Result&& other) noexcept(std::is_nothrow_move_constructible_v<T> &&
                                  std::is_nothrow_move_constructible_v<E>)
      : ok_(other.ok_) {
    if (ok_) {
      new (&value_) T(std::move(other.value_));
    } else {
      new (&error_) E(std::move(other.error_));
    }
  }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  Result& operator=(Result&&) = delete;
  ~Result() noexcept(kNothrowDestructible) {
    if (ok_) {
      std::destroy_at(&value_);
    } else {
      std::destroy_at(&error_);
    }
  }

  bool ok() const noexcept { return ok_; }
  T& value() noexcept { return value_; }
  E& error() noexcept { return error_; }

 private:
  bool ok_;
  union {
    T value_;
    E error_;
  };
};

}  // namespace kestrin
