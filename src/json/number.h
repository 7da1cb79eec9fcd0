// json/number.h: JSON number values as read, decimal-to-float conversion and the
// shortest round-trip layout of floats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvane::json {

/// A number token as the reader found it: a plain integer stays an integer while it
/// fits 64 bits; anything with a fraction or exponent, "-0" and longer integers are floats.
struct Number {
  enum class Kind : std::uint8_t { kUnsigned, kSigned, kFloat };
  Kind kind = Kind::kUnsigned;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0.0;
  bool out_of_range = false;  // the float overflowed: an error wherever the value is used

  double as_double() const noexcept;
  /// "integer `12`" or "floating point `12.5`", as failure messages name a number found.
  std::string describe() const;
};

/// The float nearest to significand x 10^exponent, multiplying or dividing once by the
/// float nearest to the power of ten; sets `out_of_range` when the result overflows.
double float_from_parts(std::uint64_t significand, std::int64_t exponent, bool& out_of_range);

/// Longest text that format_float writes.
inline constexpr std::size_t kMaxFloatText = 32;

/// Writes a finite float in its shortest round-trip digits: positional for decimal
/// exponents -5..15 ("1.0", "0.00001", "1000000000000000.0"), otherwise scientific
/// ("1e+16", "1.5e-7"). Returns the number of bytes written to `out`.
std::size_t format_float(double value, char* out);

}  // namespace quorvane::json
