// Result<T, E>: either a value or an error, for readers of external input.
//
// Readers never throw on bad input and never abort; they return a Result.
//
//   halvo::Result<Policy, ReadError> r = read(text);
//   if (!r) return report(r.error());
//   Policy policy = std::move(r).value();
#pragma once

#include <utility>
#include <variant>

namespace halvo {

template <class E>
struct Failure {
  E error;
};

// Makes the error side of a Result: `return halvo::fail(ReadError{...});`.
template <class E>
Failure<E> fail(E error) {
  return Failure<E>{std::move(error)};
}

template <class T, class E>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class F>
  Result(Failure<F> failure)
      : state_(std::in_place_index<1>, E(std::move(failure.error))) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  // Precondition: ok().
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }

  // Precondition: !ok().
  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

}  // namespace halvo
