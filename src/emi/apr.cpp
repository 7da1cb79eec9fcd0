// emi/apr.cpp: the monthly yield of a schedule's payments, by Newton's method kept
// inside a bracket that bisection narrows whenever a step would leave it.
#include "emi/apr.h"

#include <cmath>  // std::abs, std::expm1, std::log1p
#include <cstdint>

namespace quorvane::emi {
namespace {

// Relative width at which the search stops: well inside the 1e-10 asked of the rate.
constexpr double kTolerance = 1e-13;

// Enough for bisection alone to narrow [0, 2^64] to kTolerance; Newton needs a handful.
constexpr int kMaxSteps = 400;

struct Value {
  double f;      // present value at the rate, less the amount received
  double slope;  // its derivative with respect to the rate
};

// The present value P(v) = sum of c_k v^k over k = 1..N, v = 1 / (1 + i), is v Q(v)
// with Q(v) = sum of c_k v^(k-1), which Horner's rule gives with its derivative in one
// backward pass; dP/di = -v^2 (Q + v Q').
Value at(double i, std::span<const EmiMonth> rows, double received) {
  const double v = 1.0 / (1.0 + i);
  double q = 0.0;
  double dq = 0.0;
  for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
    dq = dq * v + q;
    q = q * v + static_cast<double>(row->emi);
  }
  return Value{v * q - received, -v * v * (q + v * dq)};
}

}  // namespace

Result<double, QuorvaneError> monthly_yield(double received, std::span<const EmiMonth> rows,
                                            double guess) {
  double paid = 0.0;
  for (const EmiMonth& row : rows) paid += static_cast<double>(row.emi);
  if (paid < received) return QuorvaneError{InvalidInput{InvalidInput::Reason::kNoApr, "fees"}};
  if (paid == received) return 0.0;
  // The present value falls as the rate rises, from `paid` at 0; at paid / received - 1
  // even the sum of the payments made after one month falls to `received`. The root
  // lies between.
  double low = 0.0;
  double high = paid / received - 1.0;
  double i = guess > low && guess < high ? guess : high / 2.0;
  for (int step = 0; step < kMaxSteps; ++step) {
    const Value value = at(i, rows, received);
    if (value.f == 0.0) break;
    if (value.f > 0.0) {
      low = i;
    } else {
      high = i;
    }
    // The present value is convex in the rate, so Newton's steps approach the root from
    // below once they are there; from above one may overshoot, and bisection catches a
    // step that leaves the bracket.
    double next = i - value.f / value.slope;
    if (!(next > low && next < high)) next = low + (high - low) / 2.0;
    const bool settled = std::abs(next - i) <= kTolerance * next || high - low <= kTolerance * high;
    i = next;
    if (settled) break;
  }
  return i;
}

double annual_percentage_rate(double i) { return 1200.0 * i; }

double effective_annual_rate(double i) { return 100.0 * std::expm1(12.0 * std::log1p(i)); }

}  // namespace quorvane::emi
