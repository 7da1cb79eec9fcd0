// emi/engine.h: loan instalments: solving a loan and building its schedule.
#pragma once

#include <cstdint>

#include "emi/model.h"
#include "error.h"
#include "result.h"

namespace quorvane::emi {

/// The longest tenure supported, given or derived.
inline constexpr std::uint32_t kMaxMonths = 600;

/// Checks the request, solves for the quantity its mode names and builds the schedule in
/// whole currency units, with real values, the calendar-year roll-up and the totals.
Result<EmiResult, QuorvaneError> compute(const EmiRequest& request);

/// The months needed to repay `loan_amount` with instalments of `emi` at the monthly
/// rate `monthly_rate` (a fraction): 1..kMaxMonths, or the reason there is none.
Result<std::uint32_t, QuorvaneError> months_for(double loan_amount, double emi,
                                                double monthly_rate);

}  // namespace quorvane::emi
