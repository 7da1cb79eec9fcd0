// emi/apr.h: the rate a loan really costs: the yield of its payments on the amount received.
#pragma once

#include <span>

#include "emi/model.h"
#include "error.h"
#include "result.h"

namespace quorvane::emi {

/// The monthly rate i (a fraction) at which `received` (> 0) equals the present value of
/// the payments `emi` of `rows`, each made at the end of its month (row 0 at the end of
/// month 1): 0 when they add up to exactly `received`. Solved to about 1e-13 relative;
/// `guess` (any value) is where the search starts. Fails when the payments add up to
/// less than `received`: no rate of zero or more repays it.
Result<double, QuorvaneError> monthly_yield(double received, std::span<const EmiMonth> rows,
                                            double guess);

/// The annual percentage rate of a monthly rate `i`: 1200 i, in percent.
double annual_percentage_rate(double i);

/// The effective annual rate of a monthly rate `i`: 100 ((1 + i)^12 - 1), in percent.
double effective_annual_rate(double i);

}  // namespace quorvane::emi
