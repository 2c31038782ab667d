#pragma once

#include <cassert>
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

  T& value() & {
    assert(has_value());
    return *std::get_if<0>(&storage_);
  }
  const T& value() const& {
    assert(has_value());
    return *std::get_if<0>(&storage_);
  }
  T&& value() && {
    assert(has_value());
    return std::move(*std::get_if<0>(&storage_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const E& error() const {
    assert(!has_value());
    return *std::get_if<1>(&storage_);
  }

 private:
  std::variant<T, E> storage_;
};

}  // namespace corvel
