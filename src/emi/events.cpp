// emi/events.cpp: checking a loan's events, computing the loan with them in the one
// schedule loop, comparing it with the loan without them, and its annual percentage rate.
#include "emi/events.h"

#include <algorithm>  // std::is_sorted, std::stable_sort
#include <cmath>      // std::isfinite
#include <cstdint>
#include <numeric>  // std::iota

#include "emi/apr.h"
#include "emi/arithmetic.h"
#include "emi/schedule.h"
#include "record.h"

namespace quorvane::emi {

using namespace detail;

namespace {

using Reason = BadEvent::Reason;

QuorvaneError bad(Reason reason, std::size_t row, std::string_view given = {}) {
  return QuorvaneError{BadEvent{reason, ShortText::of(given)}, row};
}

QuorvaneError too_large() { return QuorvaneError{InvalidInput{InvalidInput::Reason::kTooLarge}}; }

// A loan's events, checked and in the engine's units, sorted by month and within a month
// kept in the table's order.
Result<std::vector<Change>, QuorvaneError> changes_of(LoanEvents events) {
  std::vector<Change> changes;
  changes.reserve(events.rows.size());
  for (const std::size_t row : events.rows) {
    const EmiEvent& event = events.table[row];
    const auto kind = record::variant_named<EventKind>(event.kind);
    if (!kind) return bad(Reason::kUnknownKind, row, event.kind);
    Keep keep = Keep::Emi;
    if (event.keep) {
      const auto named = record::variant_named<Keep>(*event.keep);
      if (!named) return bad(Reason::kUnknownKeep, row, *event.keep);
      keep = *named;
    }
    if (*kind == EventKind::Emi && keep == Keep::Tenure) return bad(Reason::kEmiKeepsEmi, row);
    double amount = event.amount;
    if (*kind == EventKind::Rate) {
      if (!(std::isfinite(amount) && amount >= 0.0)) return bad(Reason::kRate, row);
    } else {
      amount = round_half_up(amount);
      if (!(std::isfinite(amount) && amount >= 1.0)) return bad(Reason::kAmount, row);
    }
    changes.push_back(Change{event.month, *kind, amount, keep, row});
  }
  auto by_month = [](const Change& a, const Change& b) { return a.month < b.month; };
  // Tables usually list a loan's events in order; sorting then costs nothing.
  if (!std::is_sorted(changes.begin(), changes.end(), by_month)) {
    std::stable_sort(changes.begin(), changes.end(), by_month);
  }
  return changes;
}

// The annual percentage rate of the payments on the loan amount less `fees`.
std::optional<QuorvaneError> add_rates(const EmiResult& result, double fees,
                                       EmiEventSummary& summary) {
  using InvalidReason = InvalidInput::Reason;
  if (!(std::isfinite(fees) && fees >= 0.0)) {
    return QuorvaneError{InvalidInput{InvalidReason::kNegativeRate, "fees"}};
  }
  const double received = static_cast<double>(result.loan_amount) - round_half_up(fees);
  if (!(received > 0.0)) return QuorvaneError{InvalidInput{InvalidReason::kFeesTooLarge, "fees"}};
  auto i = monthly_yield(received, result.schedule, monthly(result.interest_rate));
  if (!i) return i.error();
  summary.apr = annual_percentage_rate(i.value());
  summary.effective_rate = effective_annual_rate(i.value());
  return std::nullopt;
}

}  // namespace

std::span<const std::size_t> EventIndex::rows(std::size_t loan) const {
  return std::span<const std::size_t>(rows_).subspan(starts_[loan],
                                                     starts_[loan + 1] - starts_[loan]);
}

Result<EventIndex, QuorvaneError> index_events(std::span<const EmiEvent> table, std::size_t loans) {
  // A counting sort by loan keeps each loan's events in the table's order.
  EventIndex index;
  index.starts_.assign(loans + 1, 0);
  for (std::size_t row = 0; row < table.size(); ++row) {
    const std::uint32_t loan = table[row].loan;
    if (loan >= loans) {
      return QuorvaneError{BadEvent{Reason::kNoSuchLoan, {}, loan, loans}, row};
    }
    ++index.starts_[loan + 1];
  }
  for (std::size_t loan = 0; loan < loans; ++loan) {
    index.starts_[loan + 1] += index.starts_[loan];
  }
  index.rows_.resize(table.size());
  std::vector<std::size_t> next(index.starts_.begin(), index.starts_.end() - 1);
  for (std::size_t row = 0; row < table.size(); ++row) {
    index.rows_[next[table[row].loan]++] = row;
  }
  return index;
}

Result<EmiEventResult, QuorvaneError> compute_with_events(const EmiRequest& request,
                                                          LoanEvents events,
                                                          std::optional<double> fees) {
  EmiEventResult out;
  EmiResult& result = out.result;
  auto terms = prepare(request, result);
  if (!terms) return terms.error();
  auto changes = changes_of(events);
  if (!changes) return changes.error();
  KeepRows rows{result.schedule, &out.months};
  auto made = amortise(terms.value(), changes.value(), rows);
  if (!made) return made.error();
  if (auto failure = complete(result)) return *failure;

  // The same loan without its events: the same loop with no changes, counting only. A
  // loan without events is its own baseline.
  CountRows plain{result.totals.nominal_paid, result.months};
  if (!changes.value().empty()) {
    plain = CountRows{};
    auto counted = amortise(terms.value(), {}, plain);
    if (!counted) return counted.error();
  }
  EmiEventSummary& summary = out.summary;
  if (__builtin_sub_overflow(plain.paid, result.loan_amount, &summary.baseline_interest) ||
      __builtin_sub_overflow(summary.baseline_interest, result.totals.nominal_interest,
                             &summary.interest_saved)) {
    return too_large();
  }
  summary.months_saved =
      static_cast<std::int32_t>(plain.rows) - static_cast<std::int32_t>(result.months);
  if (fees) {
    if (auto failure = add_rates(result, *fees, summary)) return *failure;
  }
  return out;
}

Result<EmiEventResult, QuorvaneError> compute_with_events(const EmiRequest& request,
                                                          std::span<const EmiEvent> events,
                                                          std::optional<double> fees) {
  std::vector<std::size_t> rows(events.size());
  std::iota(rows.begin(), rows.end(), std::size_t{0});
  return compute_with_events(request, LoanEvents{events, rows}, fees);
}

}  // namespace quorvane::emi
