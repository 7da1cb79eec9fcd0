// columns/loans.h: solving many loans at once: one result row per loan and the long table
// of every schedule row, without Python.
#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "columns/arrow.h"
#include "emi/model.h"

namespace quorvane::columns {

/// A loan to solve, or the text of the reason its row is none (as compute_emi raises it).
using LoanRequest = std::variant<emi::EmiRequest, std::string>;

/// Solves each loan as compute_emi would, on up to `threads` threads. Returns the loans
/// table (`loan`, the row's number; a column per field of EmiResult but its lists, the
/// totals' fields in their place; `error`, the rejection text, else null) and the
/// schedule table (`loan`, then a column per field of EmiMonth). A rejected loan never
/// stops the others.
std::pair<SharedTable, SharedTable> solve_loans(const std::vector<LoanRequest>& loans,
                                                unsigned threads);

}  // namespace quorvane::columns
