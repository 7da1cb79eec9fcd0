// emi/schedule.h: the amortisation schedule, row by row, with the changes events make.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "emi/model.h"
#include "error.h"
#include "result.h"

namespace quorvane::emi::detail {

/// An event of a loan once checked: what changes after which row.
struct Change {
  std::uint32_t month;  // takes effect after the row with this index
  EventKind kind;
  double amount;      // prepay and emi: whole units, 1 or more; rate: annual percent
  Keep keep;          // Emi for kind Emi
  std::uint64_t row;  // the event's row in its table, for messages
};

/// Where a schedule starts.
struct Terms {
  double amount;         // P, unrounded: the balance of the first row
  double instalment;     // E, whole: what regular months pay until a change
  std::uint32_t months;  // n, 1..kMaxMonths: rows at most, until a change re-solves it
  double rate;           // annual percent, until a change
  double inflation;      // g, the monthly inflation factor
};

/// Keeps every row: the result's schedule and, unless null, each row's rate and
/// prepayment beside it.
struct KeepRows {
  std::vector<EmiMonth>& rows;
  std::vector<EmiEventMonth>* changes;
};

/// Keeps only what a comparison needs: the sum of the payments and the number of rows.
struct CountRows {
  std::int64_t paid = 0;
  std::uint32_t rows = 0;
};

/// Builds the rows from `terms` in one pass, applying `changes` (sorted by month, stably)
/// after the rows they name: regular months pay the instalment, the closing month pays
/// off what remains, and real values are deflated by one more month of inflation per row.
/// Fails when an amount leaves the 64-bit range, when a change cannot be applied (it
/// comes after the loan's end, or the loan cannot be solved again after it), or when the
/// months re-solved exceed kMaxMonths counted from the first row.
template <class Sink>
Result<std::uint32_t, QuorvaneError> amortise(const Terms& terms, std::span<const Change> changes,
                                              Sink& sink);

extern template Result<std::uint32_t, QuorvaneError> amortise<KeepRows>(const Terms&,
                                                                        std::span<const Change>,
                                                                        KeepRows&);
extern template Result<std::uint32_t, QuorvaneError> amortise<CountRows>(const Terms&,
                                                                         std::span<const Change>,
                                                                         CountRows&);

/// Checks `request` and solves for the quantity its mode names (engine.cpp): the terms
/// of its schedule, with the head of its result (mode, loan amount, instalment, rates,
/// start) filled in `head`.
Result<Terms, QuorvaneError> prepare(const EmiRequest& request, EmiResult& head);

/// Fills in what follows from the rows: the number of months, remaining sums, calendar
/// months (with a start), the totals with the loan amount as principal, and the calendar
/// years. The failure, if any: a sum leaves the 64-bit range, or a row falls past the
/// last year a result holds.
std::optional<QuorvaneError> complete(EmiResult& result);

}  // namespace quorvane::emi::detail
