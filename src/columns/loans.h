// columns/loans.h: solving a table of loans: one result row per loan and the long table
// of every schedule row, without Python.
#pragma once

#include <cstdint>
#include <utility>

#include "columns/arrow.h"
#include "columns/column.h"

namespace quorvane::columns {

/// The columns of a loan table, each null when the table lacks it. `mode` and
/// `interest_rate` are required per loan; the others are optional as in a request.
struct LoanColumns {
  std::int64_t rows = 0;
  const TextColumn* mode = nullptr;
  const NumberColumn* loan_amount = nullptr;
  const NumberColumn* emi = nullptr;
  const NumberColumn* months = nullptr;
  const NumberColumn* interest_rate = nullptr;
  const NumberColumn* inflation_rate = nullptr;
  const TextColumn* start = nullptr;
};

/// Solves each loan as compute_emi would. Returns the loans table (loan row, solved
/// amounts, totals, and `error`: the rejection text, else null) and the schedule table
/// (loan row, then each schedule row's fields). A rejected loan never stops the others.
std::pair<SharedTable, SharedTable> solve_loans(const LoanColumns& loans, unsigned threads);

}  // namespace quorvane::columns
