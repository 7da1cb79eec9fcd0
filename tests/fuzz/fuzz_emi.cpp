// tests/fuzz/fuzz_emi.cpp: the loan engine on arbitrary amounts, rates, tenures and starts,
// with arbitrary events and fees.
//
// Every request must be answered without undefined behaviour, by a result or a failure
// with a text. An accepted result must hold together: the rows' sums and identities, the
// calendar and its yearly roll-up, and the totals, all exactly in whole units. Events
// keep those, and each row's balance falls by its principal; without events the result
// is the plain engine's, and the annual percentage rate discounts the payments back to
// the amount received.
#include <algorithm>  // std::min
#include <cmath>      // std::isfinite, std::abs, std::floor
#include <cstddef>
#include <cstdint>
#include <cstring>  // std::memcpy
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "emi/engine.h"
#include "emi/events.h"
#include "fuzz_check.h"
#include "json/write.h"

namespace {

using namespace quorvane;

// A double drawn mostly from where loans live, sometimes from anywhere: the edges are
// where rounding and overflow go wrong, the ordinary range is where results are built.
double some_double(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: {  // any bit pattern: NaN, infinities, subnormals, negative zero
      const auto bits = in.ConsumeIntegral<std::uint64_t>();
      double value;
      std::memcpy(&value, &bits, sizeof value);
      return value;
    }
    case 1:  // a whole amount
      return static_cast<double>(in.ConsumeIntegralInRange<std::int64_t>(-10, 100'000'000));
    case 2:  // a rate in percent
      return in.ConsumeFloatingPointInRange(0.0, 40.0);
    case 3:  // a small value, where rounding dominates
      return in.ConsumeFloatingPointInRange(0.0, 2.0);
    case 4:  // a huge one, near the limits of 64-bit amounts
      return in.ConsumeFloatingPointInRange(1e15, 1e20);
    default:
      return in.ConsumeFloatingPoint<double>();
  }
}

template <class T>
std::optional<T> maybe(FuzzedDataProvider& in, T value) {
  return in.ConsumeBool() ? std::optional<T>(value) : std::nullopt;
}

emi::EmiRequest some_request(FuzzedDataProvider& in) {
  emi::EmiRequest request;
  request.mode = static_cast<emi::EmiMode>(in.ConsumeIntegralInRange(0, 2));
  request.loan_amount = maybe(in, some_double(in));
  request.emi = maybe(in, some_double(in));
  const auto months = in.ConsumeBool() ? in.ConsumeIntegral<std::uint32_t>()
                                       : in.ConsumeIntegralInRange<std::uint32_t>(0, 601);
  request.months = maybe(in, months);
  request.interest_rate = some_double(in);
  request.inflation_rate = some_double(in);
  const auto year = in.ConsumeBool() ? in.ConsumeIntegral<std::int32_t>()
                                     : in.ConsumeIntegralInRange<std::int32_t>(1900, 2200);
  if (in.ConsumeBool())
    request.start = emi::YearMonth::make(year, in.ConsumeIntegralInRange(1u, 12u));
  return request;
}

// Whole amounts up to 2^53 are exact in a double.
constexpr std::uint64_t kExactInDouble = std::uint64_t{1} << 53;

// Amounts below this are exact in doubles with room for the engine's sums of two.
constexpr std::int64_t kExact = std::int64_t{1} << 50;

// |x| without overflow, for comparing amounts of either sign.
std::uint64_t magnitude(std::int64_t x) {
  return x < 0 ? 0 - static_cast<std::uint64_t>(x) : static_cast<std::uint64_t>(x);
}

// The rows against each other and against the totals. With events, `first_change` is the
// first row after which one takes effect, and `months` holds each row's prepayment.
void check_rows(const emi::EmiRequest& request, const emi::EmiResult& result,
                const std::vector<emi::EmiEventMonth>* months = nullptr,
                std::uint32_t first_change = emi::kMaxMonths) {
  const auto& rows = result.schedule;
  QV_FUZZ_CHECK(!rows.empty() && rows.size() <= emi::kMaxMonths);
  QV_FUZZ_CHECK(result.months == rows.size());
  if (request.mode != emi::EmiMode::Tenure && months == nullptr) {
    QV_FUZZ_CHECK(rows.size() <= *request.months);
  }
  QV_FUZZ_CHECK(rows.back().outstanding == 0);

  std::int64_t paid = 0;
  std::int64_t real_paid = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const emi::EmiMonth& row = rows[i];
    QV_FUZZ_CHECK(row.index == i);
    QV_FUZZ_CHECK(row.principal + row.interest == row.emi);
    QV_FUZZ_CHECK(row.real_principal + row.real_interest == row.real_emi);
    QV_FUZZ_CHECK(row.outstanding >= 0);
    // Real values are nominal ones divided by a deflator of 1 in the first month, never
    // below 1 later (inflation is not negative), and exactly 1 without inflation. The
    // division is in doubles, so this holds for amounts that doubles hold exactly.
    if (magnitude(row.principal) <= kExactInDouble && magnitude(row.interest) <= kExactInDouble) {
      if (i == 0 || request.inflation_rate == 0.0) {
        QV_FUZZ_CHECK(row.real_principal == row.principal && row.real_interest == row.interest);
      }
      QV_FUZZ_CHECK(magnitude(row.real_principal) <= magnitude(row.principal));
      QV_FUZZ_CHECK(magnitude(row.real_interest) <= magnitude(row.interest));
    }
    // Every month but the closing one pays the instalment, until an event changes it, and
    // leaves a balance.
    const std::int64_t prepaid = months != nullptr ? (*months)[i].prepayment : 0;
    if (i + 1 < rows.size()) QV_FUZZ_CHECK(row.outstanding > 0);
    // A solved instalment pays the balance down every month.
    if (request.mode == emi::EmiMode::Emi && !months && i > 0 && result.loan_amount < kExact)
      QV_FUZZ_CHECK(row.outstanding < rows[i - 1].outstanding);
    if (i + 1 < rows.size() && i <= first_change) QV_FUZZ_CHECK(row.emi - prepaid == result.emi);
    paid += row.emi;
    real_paid += row.real_emi;
  }
  // Summed backwards, each row's remaining sums are those of the rows after it; the
  // engine refuses results whose sums overflow, so these sums cannot.
  std::int64_t after = 0;
  std::int64_t real_after = 0;
  for (std::size_t i = rows.size(); i-- > 0;) {
    QV_FUZZ_CHECK(rows[i].remaining_emi == after);
    QV_FUZZ_CHECK(rows[i].real_remaining_emi == real_after);
    after += rows[i].emi;
    real_after += rows[i].real_emi;
  }

  const emi::EmiTotals& totals = result.totals;
  QV_FUZZ_CHECK(totals.nominal_paid == paid && totals.real_paid == real_paid);
  QV_FUZZ_CHECK(totals.nominal_principal == result.loan_amount);
  QV_FUZZ_CHECK(totals.real_principal == result.loan_amount);
  QV_FUZZ_CHECK(totals.nominal_interest == paid - result.loan_amount);
  QV_FUZZ_CHECK(totals.real_interest == real_paid - result.loan_amount);
}

// The calendar of the rows and its roll-up by year.
void check_calendar(const emi::EmiRequest& request, const emi::EmiResult& result) {
  const auto& rows = result.schedule;
  if (!request.start) {
    QV_FUZZ_CHECK(result.years.empty());
    for (const auto& row : rows) QV_FUZZ_CHECK(!row.year && !row.month);
    return;
  }
  const std::int64_t first = std::int64_t{request.start->year()} * 12 + request.start->month() - 1;
  for (const auto& row : rows) {
    QV_FUZZ_CHECK(row.year && row.month);
    QV_FUZZ_CHECK(std::int64_t{*row.year} * 12 + *row.month - 1 == first + row.index);
  }
  std::int64_t nominal = 0;
  std::int64_t real = 0;
  std::size_t row = 0;
  for (std::size_t y = 0; y < result.years.size(); ++y) {
    const emi::EmiYear& year = result.years[y];
    if (y > 0) QV_FUZZ_CHECK(year.year == result.years[y - 1].year + 1);
    std::int64_t year_nominal = 0;
    std::int64_t year_real = 0;
    for (std::uint32_t m = 1; m <= 12; ++m) {
      const auto& slot = year.months[m - 1];
      const bool filled =
          row < rows.size() && *rows[row].year == year.year && *rows[row].month == m;
      QV_FUZZ_CHECK(slot.has_value() == filled);
      if (!filled) continue;
      QV_FUZZ_CHECK(slot->nominal == rows[row].emi && slot->real == rows[row].real_emi);
      year_nominal += slot->nominal;
      year_real += slot->real;
      ++row;
    }
    QV_FUZZ_CHECK(year.nominal_total == year_nominal && year.real_total == year_real);
    QV_FUZZ_CHECK(row > 0 && year.closing_outstanding == rows[row - 1].outstanding);
    nominal += year_nominal;
    real += year_real;
  }
  QV_FUZZ_CHECK(row == rows.size());
  QV_FUZZ_CHECK(nominal == result.totals.nominal_paid && real == result.totals.real_paid);
}

// Up to five events, drawn after the request so that the request's seeds still read
// as before: months mostly within the loan, kinds and keeps sometimes unknown, amounts
// mostly on the loan's scale, sometimes anything.
std::vector<emi::EmiEvent> some_events(FuzzedDataProvider& in, const emi::EmiRequest& request) {
  static const std::string kKinds[] = {"prepay", "rate", "emi", "refinance"};
  static const std::string kKeeps[] = {"tenure", "emi", "Emi"};
  double scale = request.loan_amount.value_or(request.emi.value_or(1000.0));
  if (!(std::isfinite(scale) && scale > 0.0 && scale < 1e15)) scale = 1000.0;
  const std::uint32_t months = std::min(request.months.value_or(24), emi::kMaxMonths);
  std::vector<emi::EmiEvent> events(in.ConsumeIntegralInRange<std::size_t>(0, 5));
  for (emi::EmiEvent& event : events) {
    event.month = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, months)
                                   : in.ConsumeIntegralInRange<std::uint32_t>(0, 620);
    const int kind = in.ConsumeIntegralInRange(0, in.ConsumeBool() ? 3 : 2);
    event.kind = kKinds[kind];
    if (in.ConsumeBool())
      event.keep = kKeeps[in.ConsumeIntegralInRange(0, in.ConsumeBool() ? 2 : 1)];
    if (in.ConsumeBool()) {
      event.amount = some_double(in);
    } else if (kind == 1) {
      event.amount = in.ConsumeFloatingPointInRange(0.0, 40.0);
    } else {
      event.amount = scale * in.ConsumeFloatingPointInRange(0.0, kind == 0 ? 1.2 : 0.3);
    }
  }
  return events;
}

// The first row after which an event takes effect.
std::uint32_t first_month(const std::vector<emi::EmiEvent>& events) {
  std::uint32_t first = emi::kMaxMonths;
  for (const auto& event : events) first = std::min(first, event.month);
  return first;
}

// What events add: the rate and prepayment columns, balances that fall by the principal,
// and the comparison with the plain loan.
void check_events(const emi::EmiRequest& request, const std::vector<emi::EmiEvent>& events,
                  const emi::EmiResult& plain, const emi::EmiEventResult& with) {
  const auto& rows = with.result.schedule;
  QV_FUZZ_CHECK(with.months.size() == rows.size());
  const std::uint32_t first = first_month(events);
  check_rows(request, with.result, &with.months, first);
  check_calendar(request, with.result);
  // The head is the plain loan's: the events change only what follows their rows.
  QV_FUZZ_CHECK(with.result.emi == plain.emi && with.result.loan_amount == plain.loan_amount);
  QV_FUZZ_CHECK(with.summary.baseline_interest == plain.totals.nominal_interest);
  QV_FUZZ_CHECK(with.summary.interest_saved ==
                plain.totals.nominal_interest - with.result.totals.nominal_interest);
  QV_FUZZ_CHECK(with.summary.months_saved == static_cast<std::int32_t>(plain.months) -
                                                 static_cast<std::int32_t>(with.result.months));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const emi::EmiEventMonth& month = with.months[i];
    // Until the first event the rows are the plain loan's, at the request's rate.
    if (i <= first) QV_FUZZ_CHECK(month.rate == request.interest_rate);
    if (i < first) {
      QV_FUZZ_CHECK(i < plain.schedule.size() && month.prepayment == 0);
      const emi::EmiMonth& same = plain.schedule[i];
      QV_FUZZ_CHECK(rows[i].emi == same.emi && rows[i].principal == same.principal &&
                    rows[i].outstanding == same.outstanding);
    }
    QV_FUZZ_CHECK(month.prepayment >= 0);
    // Each row's balance falls by its principal, prepayment included, to within the one
    // unit that rounding the principal and the balance separately allows; the first row
    // starts from the loan amount, itself rounded.
    const std::int64_t before = i == 0 ? with.result.loan_amount : rows[i - 1].outstanding;
    if (before >= kExact || magnitude(rows[i].principal) >= std::uint64_t{kExact}) continue;
    const std::int64_t gap = before - rows[i].outstanding - rows[i].principal;
    QV_FUZZ_CHECK(gap >= -1 && gap <= 1);
    // Once an event has been applied, a balance never rises: every solving again keeps
    // the instalment above the interest.
    if (i > first) QV_FUZZ_CHECK(rows[i].outstanding <= before);
  }
}

// The annual percentage rate: the payments, discounted at it month by month, are worth
// the amount received, to 1e-9.
void check_rates(const emi::EmiResult& result, double fees, const emi::EmiEventSummary& summary) {
  QV_FUZZ_CHECK(summary.apr && summary.effective_rate);
  const double i = *summary.apr / 1200.0;
  QV_FUZZ_CHECK(i >= 0.0 && std::isfinite(*summary.effective_rate));
  double whole_fees = std::floor(fees + 0.5);  // half up, as the engine rounds
  if (whole_fees - 0.5 > fees) whole_fees -= 1.0;
  const long double received =
      static_cast<long double>(result.loan_amount) - static_cast<long double>(whole_fees);
  long double worth = 0.0L;
  long double discount = 1.0L;
  for (const emi::EmiMonth& row : result.schedule) {
    discount /= 1.0L + i;
    worth += static_cast<long double>(row.emi) * discount;
  }
  QV_FUZZ_CHECK(std::abs(worth - received) <= 1e-9L * received);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const emi::EmiRequest request = some_request(in);
  const std::vector<emi::EmiEvent> events = some_events(in, request);
  const std::optional<double> fees =
      in.ConsumeBool() ? std::optional<double>(some_double(in)) : std::nullopt;

  auto plain = emi::compute(request);
  auto with = emi::compute_with_events(request, events, fees);
  if (!plain) {
    QV_FUZZ_CHECK(!plain.error().display().empty());
    // Without events the refusal is the same. With them a shorter loan may fit where the
    // plain one does not; it still holds together.
    if (events.empty()) QV_FUZZ_CHECK(!with && with.error().display() == plain.error().display());
    if (with) check_rows(request, with.value().result, &with.value().months, first_month(events));
    return 0;
  }
  const emi::EmiResult& result = plain.value();
  check_rows(request, result);
  check_calendar(request, result);
  QV_FUZZ_CHECK(std::isfinite(result.interest_rate));
  json::Buffer written;
  json::write_value(written, result);

  if (!with) {
    const QuorvaneError& error = with.error();
    QV_FUZZ_CHECK(!error.display().empty() && (!error.event || *error.event < events.size()));
    // Without events only the fees can be refused.
    QV_FUZZ_CHECK(!events.empty() || (fees && error.field() == "fees"));
    return 0;
  }
  check_events(request, events, result, with.value());
  if (events.empty()) {
    // Without events, the plain engine's result to the last byte.
    json::Buffer again;
    json::write_value(again, with.value().result);
    QV_FUZZ_CHECK(again.view() == written.view());
  }
  if (fees) check_rates(with.value().result, *fees, with.value().summary);
  return 0;
}
