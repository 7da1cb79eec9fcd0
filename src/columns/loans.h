// columns/loans.h: solving many loans at once: one result row per loan and the long table
// of every schedule row, without Python.
#pragma once

#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "columns/arrow.h"
#include "emi/events.h"
#include "emi/model.h"

namespace quorvane::columns {

/// A loan to solve, or the text of the reason its row is none (as compute_emi raises it).
using LoanRequest = std::variant<emi::EmiRequest, std::string>;

/// What loans may carry beside their requests: events, and fees.
struct LoanExtras {
  std::span<const emi::EmiEvent> events;
  const emi::EventIndex* index = nullptr;    // the events grouped by loan
  std::span<const emi::EmiCharges> charges;  // a row per loan, when `fees`
  bool fees = false;                         // the loans have fees: their APR is asked
};

/// Solves each loan as compute_emi would, on up to `threads` threads. Returns the loans
/// table (`loan`, the row's number; a column per field of EmiResult but its lists, the
/// totals' fields in their place; `error`, the rejection text, else null) and the
/// schedule table (`loan`, then a column per field of EmiMonth). A rejected loan never
/// stops the others. With `extras`, each loan is computed with its events (none for a
/// loan the events do not name) and, with fees, its APR: the loans table gains the
/// columns of EmiEventSummary before `error`, the schedule those of EmiEventMonth.
std::pair<SharedTable, SharedTable> solve_loans(const std::vector<LoanRequest>& loans,
                                                const LoanExtras* extras, unsigned threads);

}  // namespace quorvane::columns
