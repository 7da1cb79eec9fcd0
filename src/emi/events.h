// emi/events.h: loans as they really run: prepayments, rate changes and new instalments
// after chosen months, compared with the same loans without them, and what they cost.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "emi/model.h"
#include "error.h"
#include "result.h"

namespace quorvane::emi {

/// One loan's events: the rows `rows` of the events table `table`, in the table's order.
/// Messages name an event by its row in `table`.
struct LoanEvents {
  std::span<const EmiEvent> table;
  std::span<const std::size_t> rows;
};

/// The rows of an events table grouped by the loan each names, in the table's order.
class EventIndex {
 public:
  /// The rows of the events of loan `loan` (< the number of loans indexed).
  std::span<const std::size_t> rows(std::size_t loan) const;

  /// Loan `loan`'s events in `table`, the table that was indexed.
  LoanEvents of(std::span<const EmiEvent> table, std::size_t loan) const {
    return LoanEvents{table, rows(loan)};
  }

 private:
  friend Result<EventIndex, QuorvaneError> index_events(std::span<const EmiEvent> table,
                                                        std::size_t loans);
  std::vector<std::size_t> starts_;  // loan k's rows are rows_[starts_[k] .. starts_[k + 1])
  std::vector<std::size_t> rows_;
};

/// Groups the events of `table` by loan, for a loans table of `loans` rows. Fails, naming
/// the event's row, when an event names a loan that does not exist: that is a fault of
/// the whole table, not of one loan.
Result<EventIndex, QuorvaneError> index_events(std::span<const EmiEvent> table, std::size_t loans);

/// Computes `request` as `compute` does, with `events` applied after the rows they name,
/// and compares it with the same loan without them; with `fees` (whole units), adds the
/// annual percentage rate of the payments on the loan amount less the fees. Without
/// events, `result` equals what `compute` gives and nothing is saved.
///
/// Each event's kind and keep are checked, and its amount (prepay and emi: at least one
/// whole unit once rounded; rate: zero or more). After a row, its events apply in the
/// table's order (a prepayment is capped at the balance, and one that reaches it closes
/// the loan in that row), then the loan is solved again once: for its months (from the
/// first row, at most kMaxMonths) when the row's last event keeps the instalment, for
/// its instalment over the rows left when it keeps the tenure. Fails, naming the event,
/// when an event comes after the row where the loan ends or the loan cannot be solved
/// again; the request's own failures are those of `compute`.
Result<EmiEventResult, QuorvaneError> compute_with_events(const EmiRequest& request,
                                                          LoanEvents events,
                                                          std::optional<double> fees);

/// The same, for a loan whose events are the whole of `events`, numbered from 0.
Result<EmiEventResult, QuorvaneError> compute_with_events(const EmiRequest& request,
                                                          std::span<const EmiEvent> events,
                                                          std::optional<double> fees);

}  // namespace quorvane::emi
