// emi/arithmetic.h: the loan engine's arithmetic: half-up rounding, whole amounts in 64
// bits, the compound factor, the instalment rounded so that it amortises, and the tenure.
#pragma once

#include <cmath>  // std::floor, std::isfinite, std::isnan, std::log, std::ceil
#include <cstdint>
#include <limits>
#include <optional>

#include "error.h"
#include "result.h"

namespace quorvane::emi::detail {

/// The double nearest to 1/12: the exponent that turns the annual inflation factor into
/// the monthly one.
inline constexpr double kInflationExponent = 0.08333333333333333;

/// The monthly rate, a fraction, of an annual percent: the two divisions in this order.
inline double monthly(double annual_percent) { return (annual_percent / 100.0) / 12.0; }

/// Half up, ties toward positive infinity, without the error that adding 0.5 alone can
/// make: 0.49999999999999994 + 0.5 rounds to 1.0, and the correction brings it back to 0.
inline double round_half_up(double x) {
  double f = std::floor(x + 0.5);
  return f - 0.5 > x ? f - 1.0 : f;
}

/// Conversion toward zero that saturates at the limits of Int; NaN gives 0.
template <class Int>
Int saturating(double x) {
  constexpr Int kLow = std::numeric_limits<Int>::min();
  constexpr Int kHigh = std::numeric_limits<Int>::max();
  // kHigh + 1, a power of two and so exact: the first double past the range.
  constexpr double kEnd = static_cast<double>(kHigh / 2 + 1) * 2.0;
  if (std::isnan(x)) return 0;
  if (x >= kEnd) return kHigh;
  if (x <= static_cast<double>(kLow)) return kLow;
  return static_cast<Int>(x);
}

/// A whole amount as results store it, or nothing when it is not a finite value in the
/// signed 64-bit range.
inline std::optional<std::int64_t> money(double whole) {
  if (!(whole >= -0x1p63 && whole < 0x1p63)) return std::nullopt;
  return saturating<std::int64_t>(whole);
}

/// sum += value; false on overflow.
inline bool add(std::int64_t& sum, std::int64_t value) {
  return !__builtin_add_overflow(sum, value, &sum);
}

/// base^n by binary exponentiation. The instalment and the loan amount depend on this
/// exact sequence of multiplications, so it is not `std::pow`.
inline double power(double base, std::uint32_t n) {
  double result = (n & 1U) != 0 ? base : 1.0;
  for (std::uint32_t k = n / 2; k != 0; k /= 2) {
    base *= base;
    if ((k & 1U) != 0) result *= base;
  }
  return result;
}

/// The unrounded instalment that repays `amount` in `months` at the monthly rate `r`.
inline double instalment(double amount, std::uint32_t months, double r) {
  if (r == 0.0) return amount / months;
  const double f = power(1.0 + r, months);
  return ((r * amount) * f) / (f - 1.0);
}

/// A solved instalment or loan amount is usable when finite and positive; anything else
/// comes from overflow or lost precision, never from the loan itself.
inline bool usable(double solved) { return std::isfinite(solved) && solved > 0.0; }

/// The whole instalment that pays `instalment` (unrounded) on `balance` over `months` at
/// the monthly rate `r`: rounded half up, unless that would not amortise. A whole
/// instalment not above the first month's interest (0 at a zero rate) lets the balance
/// stand or grow, so it becomes the smallest whole unit above that interest. One that
/// exceeds the interest by half a unit or less still leaves a whole balance where it was
/// (half-up rounding gives the half back), so it gains a unit when the second month would
/// keep the balance where the first left it. Either way the regular months would pay
/// nothing off and the last month would carry the whole loan. The test runs the
/// schedule's own arithmetic, so the schedule cannot disagree with it. Over one month
/// there is no regular month, the closing month pays what is owed whatever the
/// instalment, so the instalment is only rounded.
inline double amortising(double instalment, double balance, std::uint32_t months, double r) {
  double whole = round_half_up(instalment);
  if (months < 2) return whole;
  const double interest = r * balance;
  if (whole <= interest) whole = std::floor(interest) + 1.0;
  // The second month is a regular one only with three months or more and a balance
  // above the instalment after each of the first two.
  if (months < 3 || balance <= whole) return whole;
  const double second = round_half_up(balance - (whole - interest));
  if (second > whole && round_half_up(second - (whole - r * second)) >= second) whole += 1.0;
  return whole;
}

/// The whole months needed to repay `amount` with instalments of `emi` at the monthly
/// rate `r`, as a whole double of 1 or more, with no upper limit; or the reason there is
/// none (`emi` not above the first month's interest, or precision lost).
inline Result<double, QuorvaneError> tenure(double amount, double emi, double r) {
  using Reason = InvalidInput::Reason;
  if (emi <= 0.0) return QuorvaneError{InvalidInput{Reason::kNotPositive, "emi"}};
  double x;
  if (r != 0.0) {
    const double interest = amount * r;
    if (emi <= interest) return QuorvaneError{EmiTooSmall{emi, interest}};
    // Two logarithms, each from the C library, then divided.
    x = std::log(emi / (emi - interest)) / std::log(r + 1.0);
  } else {
    x = amount / emi;
  }
  const double n = std::ceil(x);
  // Not finite or below 1 when the logarithms lost all precision.
  if (!std::isfinite(n) || n < 1.0) return QuorvaneError{InvalidInput{Reason::kNoTenure}};
  return n;
}

}  // namespace quorvane::emi::detail
