// columns/loans.cpp: solving a table of loans with the EMI engine.
#include "columns/loans.h"

#include <algorithm>  // std::min
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "columns/arrow_output.h"
#include "columns/records.h"
#include "emi/engine.h"
#include "emi/events.h"
#include "parallel.h"

namespace quorvane::columns {
namespace {

using emi::EmiEventResult;
using emi::EmiRequest;
using emi::EmiResult;

// Loans solved at once: their schedules are held until appended to the tables.
constexpr std::int64_t kBlock = 512;
// Loans per thread below which a second thread costs more than it saves.
constexpr std::int64_t kMinLoansPerThread = 64;

// The loans table: the row's number, the result's fields (and with events what they
// add), the error.
std::vector<ColumnShape> loan_columns(bool events) {
  std::vector<ColumnShape> shapes{{"loan", ColumnKind::kInt64}};
  add_columns<EmiResult>(shapes, true);
  if (events) add_columns<emi::EmiEventSummary>(shapes, true);
  shapes.push_back({"error", ColumnKind::kText, true});
  return shapes;
}

std::vector<ColumnShape> schedule_columns(bool events) {
  std::vector<ColumnShape> shapes{{"loan", ColumnKind::kInt64}};
  add_columns<emi::EmiMonth>(shapes, false);
  if (events) add_columns<emi::EmiEventMonth>(shapes, false);
  return shapes;
}

// Loan `loan` computed: as compute does, or with its events and fees.
Result<EmiEventResult, QuorvaneError> solve(const EmiRequest& request, const LoanExtras* extras,
                                            std::size_t loan) {
  if (extras == nullptr) {
    auto result = emi::compute(request);
    if (!result) return result.error();
    return EmiEventResult{std::move(result).value(), {}, {}};
  }
  std::optional<double> fees;
  if (extras->fees) fees = extras->charges[loan].fees.value_or(0.0);
  return emi::compute_with_events(request, extras->index->of(extras->events, loan), fees);
}

// How many schedule rows the accepted loans will have at most: a loan has at most its
// months of rows, and a tenure to be solved is worked out here the way the engine will.
std::int64_t schedule_bound(const std::vector<LoanRequest>& loans) {
  std::int64_t bound = 0;
  for (const LoanRequest& loan : loans) {
    const auto* request = std::get_if<EmiRequest>(&loan);
    if (request == nullptr) continue;
    if (request->mode != emi::EmiMode::Tenure) {
      bound += std::min(request->months.value_or(0), emi::kMaxMonths);
    } else if (request->loan_amount && request->emi) {
      auto months = emi::months_for(*request->loan_amount, *request->emi,
                                    (request->interest_rate / 100.0) / 12.0);
      if (months) bound += months.value();
    }
  }
  return bound;
}

}  // namespace

std::pair<SharedTable, SharedTable> solve_loans(const std::vector<LoanRequest>& loans,
                                                const LoanExtras* extras, unsigned threads) {
  const auto rows = static_cast<std::int64_t>(loans.size());
  const bool events = extras != nullptr;
  TableBuilder table(loan_columns(events));
  TableBuilder schedule(schedule_columns(events));
  table.reserve_rows(rows);
  // Room for every schedule row at once: growing the buffers block by block would copy
  // them again and again. Events may lengthen a loan; a loan reserves what it adds.
  schedule.reserve_rows(schedule_bound(loans));
  std::int64_t schedule_rows = 0;
  // Blocks of loans are solved on all threads, then appended in order.
  std::vector<std::optional<Result<EmiEventResult, QuorvaneError>>> solved;
  for (std::int64_t first = 0; first < rows; first += kBlock) {
    const std::int64_t count = std::min(kBlock, rows - first);
    solved.assign(static_cast<std::size_t>(count), std::nullopt);
    in_ranges(count, threads, kMinLoansPerThread, [&](std::int64_t begin, std::int64_t end) {
      for (std::int64_t i = begin; i < end; ++i) {
        const auto loan = static_cast<std::size_t>(first + i);
        if (const auto* request = std::get_if<EmiRequest>(&loans[loan])) {
          solved[static_cast<std::size_t>(i)].emplace(solve(*request, extras, loan));
        }
      }
    });
    for (std::int64_t i = 0; i < count; ++i) {
      const auto& result = solved[static_cast<std::size_t>(i)];
      const std::int64_t loan = first + i;
      table.put(0, loan);
      if (result && *result) {
        const EmiEventResult& r = result->value();
        const std::vector<emi::EmiMonth>& months = r.result.schedule;
        std::int64_t column = put_record(table, 1, r.result);
        if (events) column = put_record(table, column, r.summary);
        table.append_null(column);
        schedule.reserve_rows(static_cast<std::int64_t>(months.size()));
        for (std::size_t m = 0; m < months.size(); ++m) {
          schedule.put(0, loan);
          column = put_record(schedule, 1, months[m]);
          if (events) put_record(schedule, column, r.months[m]);
        }
        schedule_rows += static_cast<std::int64_t>(months.size());
        continue;
      }
      std::int64_t error = put_null_record<EmiResult>(table, 1);
      if (events) error = put_null_record<emi::EmiEventSummary>(table, error);
      const auto* reason = std::get_if<std::string>(&loans[static_cast<std::size_t>(loan)]);
      table.append_text(error, reason != nullptr ? *reason : result->error().display());
    }
  }
  return {table.finish(rows), schedule.finish(schedule_rows)};
}

}  // namespace quorvane::columns
