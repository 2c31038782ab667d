#pragma once

#include <cstdlib>
#include <type_traits>
#include <utility>
#include <variant>

namespace corvel {

// The error side of an Expected, kept apart so that Expected<T, E> can be built from either.
template <class E>
struct Unexpected {
  E error;
};
template <class E>
Unexpected(E) -> Unexpected<E>;

// A value or the error that prevented it: the small subset of C++23's std::expected that the
// library needs, for results of operations on untrusted input that must not throw.
template <class T, class E>
class [[nodiscard]] Expected {
 public:
  Expected(const T& value) : storage_(std::in_place_index<0>, value) {}
  Expected(T&& value) : storage_(std::in_place_index<0>, std::move(value)) {}
  Expected(Unexpected<E> failure) : storage_(std::in_place_index<1>, std::move(failure.error)) {}

  bool has_value() const { return storage_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  // Reading the value of a failed result is a programming error and ends the process.
  T& value() & { return *checked(std::get_if<0>(&storage_)); }
  const T& value() const& { return *checked(std::get_if<0>(&storage_)); }
  T&& value() && { return std::move(*checked(std::get_if<0>(&storage_))); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const E& error() const { return *checked(std::get_if<1>(&storage_)); }

 private:
  template <class P>
  static P* checked(P* p) {
    if (p == nullptr) std::abort();
    return p;
  }

  std::variant<T, E> storage_;
};

}  // namespace corvel
