// bench/native_emi_batch.cpp: C entry point that computes a batch of loans in the engine
// alone, for bench_emi_events.py (built into the test library).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "emi/engine.h"
#include "emi/events.h"

extern "C" {

/// Computes `count` loans in emi mode (`amounts`, `months`, `rates`), each either with
/// `per_loan` events or, when `with_events` is 0, plainly by `compute`. Loan k's events
/// are entries k * per_loan ... of `event_months`, `kinds` (0, 1, 2 for "prepay", "rate",
/// "emi") and `event_amounts`. Returns the schedule rows made, or -1 if a loan fails. For
/// timing.
long long qv_emi_batch(std::size_t count, const double* amounts, const std::uint32_t* months,
                       const double* rates, std::size_t per_loan, const std::uint32_t* event_months,
                       const int* kinds, const double* event_amounts, int with_events) {
  using namespace quorvane;
  static const char* const kKinds[] = {"prepay", "rate", "emi"};
  std::vector<emi::EmiEvent> events(count * per_loan);
  for (std::size_t e = 0; e < events.size(); ++e) {
    events[e] = emi::EmiEvent{static_cast<std::uint32_t>(e / per_loan),
                              event_months[e],
                              kKinds[kinds[e]],
                              event_amounts[e],
                              {}};
  }
  auto index = emi::index_events(events, count);
  if (!index) return -1;
  long long rows = 0;
  emi::EmiRequest request;
  request.mode = emi::EmiMode::Emi;
  for (std::size_t k = 0; k < count; ++k) {
    request.loan_amount = amounts[k];
    request.months = months[k];
    request.interest_rate = rates[k];
    if (with_events != 0) {
      auto result = emi::compute_with_events(request, index.value().of(events, k), std::nullopt);
      if (!result) return -1;
      rows += static_cast<long long>(result.value().result.schedule.size());
    } else {
      auto result = emi::compute(request);
      if (!result) return -1;
      rows += static_cast<long long>(result.value().schedule.size());
    }
  }
  return rows;
}

}  // extern "C"
