// result.h: a value, or the failure that prevented it.
#pragma once

#include <utility>
#include <variant>

namespace quorvane {

/// Holds either a value of T or a failure of E; engines and decoders return it
/// instead of throwing. Test it with `if (!r)` before taking `value()`.
template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  explicit operator bool() const noexcept { return v_.index() == 0; }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const E& error() const& { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace quorvane
