// columns/loans.cpp: solving a table of loans with the EMI engine.
#include "columns/loans.h"

#include <algorithm>  // std::min
#include <cmath>      // std::floor
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cat.h"
#include "columns/arrow_output.h"
#include "columns/parallel.h"
#include "emi/engine.h"
#include "emi/model.h"
#include "record.h"

namespace quorvane::columns {
namespace {

using emi::EmiRequest;
using emi::EmiResult;

// Loans solved at once: their schedules are held until appended to the tables.
constexpr std::int64_t kBlock = 512;

std::string missing(std::string_view field) {
  return cat("invalid request: missing field `", field, "`");
}

// One column read row after row; an absent column gives nulls.
template <class Chunk>
class Reader {
 public:
  explicit Reader(const std::vector<Chunk>* chunks) {
    if (chunks != nullptr) cursor_.emplace(*chunks);
  }
  // The next row's chunk and row, or a null chunk for an absent column or a null row.
  std::pair<const Chunk*, std::int64_t> next() noexcept {
    if (!cursor_) return {nullptr, 0};
    auto [chunk, row] = cursor_->next();
    return {chunk->is_null(row) ? nullptr : chunk, row};
  }

 private:
  std::optional<RowCursor<Chunk>> cursor_;
};

Reader<TextChunk> reader(const TextColumn* column) {
  return Reader<TextChunk>(column ? &column->chunks : nullptr);
}
Reader<NumberChunk> reader(const NumberColumn* column) {
  return Reader<NumberChunk>(column ? &column->chunks : nullptr);
}

std::optional<double> number(Reader<NumberChunk>& column) {
  auto [chunk, row] = column.next();
  if (chunk == nullptr) return std::nullopt;
  return chunk->number(row);
}

// A request per row, or the reason the row is not one.
using Decoded = std::variant<EmiRequest, std::string>;

std::vector<Decoded> decode(const LoanColumns& loans) {
  std::vector<Decoded> out;
  out.reserve(static_cast<std::size_t>(loans.rows));
  auto mode = reader(loans.mode);
  auto amount = reader(loans.loan_amount);
  auto instalment = reader(loans.emi);
  auto months = reader(loans.months);
  auto interest = reader(loans.interest_rate);
  auto inflation = reader(loans.inflation_rate);
  auto start = reader(loans.start);
  const auto& names = record::EnumSchema<emi::EmiMode>::names;
  for (std::int64_t i = 0; i < loans.rows; ++i) {
    // Every column advances on every row, whatever the row's fate.
    auto [mode_chunk, mode_row] = mode.next();
    EmiRequest request;
    request.loan_amount = number(amount);
    request.emi = number(instalment);
    std::optional<double> tenure = number(months);
    std::optional<double> rate = number(interest);
    request.inflation_rate = number(inflation).value_or(0.0);
    auto [start_chunk, start_row] = start.next();

    if (mode_chunk == nullptr) {
      out.emplace_back(missing("mode"));
      continue;
    }
    std::string_view mode_text = mode_chunk->text(mode_row);
    auto found = std::find(names.begin(), names.end(), mode_text);
    if (found == names.end()) {
      out.emplace_back(cat("invalid request: unknown variant `", mode_text,
                           "`, expected one of `emi`, `tenure`, `loanAmount`"));
      continue;
    }
    request.mode = static_cast<emi::EmiMode>(found - names.begin());
    if (!rate) {
      out.emplace_back(missing("interestRate"));
      continue;
    }
    request.interest_rate = *rate;
    if (tenure) {
      if (!(*tenure >= 0.0 && *tenure <= 4294967295.0 && std::floor(*tenure) == *tenure)) {
        out.emplace_back("invalid request: months must be a whole number from 0 to 4294967295");
        continue;
      }
      request.months = static_cast<std::uint32_t>(*tenure);
    }
    if (start_chunk != nullptr) {
      auto parsed = emi::YearMonth::parse(start_chunk->text(start_row));
      if (!parsed) {
        out.emplace_back(cat("invalid request: ", parsed.error()));
        continue;
      }
      request.start = parsed.value();
    }
    out.emplace_back(std::move(request));
  }
  return out;
}

enum LoanColumn : std::int64_t {
  kLoan,
  kLoanAmount,
  kEmi,
  kMonths,
  kNominalPaid,
  kRealPaid,
  kNominalPrincipal,
  kNominalInterest,
  kRealPrincipal,
  kRealInterest,
  kError
};

void append_loan(TableBuilder& out, std::int64_t row,
                 const Result<EmiResult, QuorvaneError>* solved, const std::string* reason) {
  append_int(out.column(kLoan), row);
  if (solved != nullptr && *solved) {
    const EmiResult& r = solved->value();
    const emi::EmiTotals& t = r.totals;
    const std::int64_t values[] = {r.loan_amount,      r.emi,
                                   r.months,           t.nominal_paid,
                                   t.real_paid,        t.nominal_principal,
                                   t.nominal_interest, t.real_principal,
                                   t.real_interest};
    for (std::int64_t c = kLoanAmount; c <= kRealInterest; ++c) {
      append_int(out.column(c), values[c - kLoanAmount]);
    }
    append_null(out.column(kError));
    return;
  }
  for (std::int64_t c = kLoanAmount; c <= kRealInterest; ++c) append_null(out.column(c));
  append_text(out.column(kError), reason != nullptr ? *reason : solved->error().display());
}

enum ScheduleColumn : std::int64_t { kRowLoan, kIndex, kYear, kMonth, kFirstAmount };

// Appends a loan's rows with unchecked writes, into room reserved for the block; returns
// the rows without a calendar month (null year and month).
std::int64_t put_schedule(TableBuilder& out, std::int64_t row, const EmiResult& result) {
  std::int64_t undated = 0;
  for (const emi::EmiMonth& m : result.schedule) {
    put<std::int64_t>(out.column(kRowLoan), row);
    put<std::int32_t>(out.column(kIndex), static_cast<std::int32_t>(m.index));
    put<std::int32_t>(out.column(kYear), m.year.value_or(0));
    put<std::int32_t>(out.column(kMonth), static_cast<std::int32_t>(m.month.value_or(0)));
    put_valid(out.column(kYear), m.year.has_value());
    put_valid(out.column(kMonth), m.year.has_value());
    if (!m.year) ++undated;
    const std::int64_t amounts[] = {m.emi,           m.principal,     m.interest,
                                    m.outstanding,   m.real_emi,      m.real_principal,
                                    m.real_interest, m.remaining_emi, m.real_remaining_emi};
    for (std::int64_t c = 0; c < 9; ++c) put(out.column(kFirstAmount + c), amounts[c]);
  }
  return undated;
}

}  // namespace

std::pair<SharedTable, SharedTable> solve_loans(const LoanColumns& loans, unsigned threads) {
  std::vector<Decoded> requests = decode(loans);
  TableBuilder table({{"loan", ColumnKind::kInt64},
                      {"loanAmount", ColumnKind::kInt64},
                      {"emi", ColumnKind::kInt64},
                      {"months", ColumnKind::kInt64},
                      {"nominalPaid", ColumnKind::kInt64},
                      {"realPaid", ColumnKind::kInt64},
                      {"nominalPrincipal", ColumnKind::kInt64},
                      {"nominalInterest", ColumnKind::kInt64},
                      {"realPrincipal", ColumnKind::kInt64},
                      {"realInterest", ColumnKind::kInt64},
                      {"error", ColumnKind::kText}});
  TableBuilder schedule({{"loan", ColumnKind::kInt64},
                         {"index", ColumnKind::kInt32},
                         {"year", ColumnKind::kInt32},
                         {"month", ColumnKind::kInt32},
                         {"emi", ColumnKind::kInt64},
                         {"principal", ColumnKind::kInt64},
                         {"interest", ColumnKind::kInt64},
                         {"outstanding", ColumnKind::kInt64},
                         {"realEmi", ColumnKind::kInt64},
                         {"realPrincipal", ColumnKind::kInt64},
                         {"realInterest", ColumnKind::kInt64},
                         {"remainingEmi", ColumnKind::kInt64},
                         {"realRemainingEmi", ColumnKind::kInt64}});
  std::int64_t schedule_rows = 0;
  std::int64_t undated = 0;
  // Room for every schedule row at once: growing the buffers block by block would copy
  // them again and again. A loan has at most its months of rows; a tenure to be solved
  // is worked out here the way the engine will.
  std::int64_t bound = 0;
  for (const Decoded& decoded : requests) {
    const auto* request = std::get_if<EmiRequest>(&decoded);
    if (request == nullptr) continue;
    if (request->mode != emi::EmiMode::Tenure) {
      bound += std::min(request->months.value_or(0), emi::kMaxMonths);
    } else if (request->loan_amount && request->emi) {
      auto months = emi::months_for(*request->loan_amount, *request->emi,
                                    (request->interest_rate / 100.0) / 12.0);
      if (months) bound += months.value();
    }
  }
  schedule.reserve_rows(bound, {kYear, kMonth});
  // Blocks of loans are solved on all threads, then appended in order.
  std::vector<std::optional<Result<EmiResult, QuorvaneError>>> solved;
  for (std::int64_t first = 0; first < loans.rows; first += kBlock) {
    const std::int64_t count = std::min(kBlock, loans.rows - first);
    solved.assign(static_cast<std::size_t>(count), std::nullopt);
    in_parallel(
        count, threads,
        [&](std::int64_t begin, std::int64_t end) {
          for (std::int64_t i = begin; i < end; ++i) {
            if (const auto* request =
                    std::get_if<EmiRequest>(&requests[static_cast<std::size_t>(first + i)])) {
              solved[static_cast<std::size_t>(i)].emplace(emi::compute(*request));
            }
          }
        },
        64);
    std::int64_t block_rows = 0;
    for (const auto& result : solved) {
      if (result && *result)
        block_rows += static_cast<std::int64_t>(result->value().schedule.size());
    }
    schedule.reserve_rows(block_rows, {kYear, kMonth});
    for (std::int64_t i = 0; i < count; ++i) {
      const auto& result = solved[static_cast<std::size_t>(i)];
      const auto* reason = std::get_if<std::string>(&requests[static_cast<std::size_t>(first + i)]);
      append_loan(table, first + i, result ? &*result : nullptr, reason);
      if (result && *result) {
        undated += put_schedule(schedule, first + i, result->value());
      }
    }
    schedule_rows += block_rows;
  }
  for (std::int64_t c = 0; c < kFirstAmount + 9; ++c) {
    schedule.set_filled(c, schedule_rows, c == kYear || c == kMonth ? undated : 0);
  }
  return {table.finish(loans.rows), schedule.finish(schedule_rows)};
}

}  // namespace quorvane::columns
