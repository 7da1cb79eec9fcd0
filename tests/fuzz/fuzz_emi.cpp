// tests/fuzz/fuzz_emi.cpp: the loan engine on arbitrary amounts, rates, tenures and starts.
//
// Every request must be answered without undefined behaviour, by a result or a failure
// with a text. An accepted result must hold together: the rows' sums and identities, the
// calendar and its yearly roll-up, and the totals, all exactly in whole units.
#include <cmath>  // std::isfinite
#include <cstddef>
#include <cstdint>
#include <cstring>  // std::memcpy
#include <limits>
#include <optional>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "emi/engine.h"
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

// |x| without overflow, for comparing amounts of either sign.
std::uint64_t magnitude(std::int64_t x) {
  return x < 0 ? 0 - static_cast<std::uint64_t>(x) : static_cast<std::uint64_t>(x);
}

// The rows against each other and against the totals.
void check_rows(const emi::EmiRequest& request, const emi::EmiResult& result) {
  const auto& rows = result.schedule;
  QV_FUZZ_CHECK(!rows.empty() && rows.size() <= emi::kMaxMonths);
  QV_FUZZ_CHECK(result.months == rows.size());
  if (request.mode != emi::EmiMode::Tenure) QV_FUZZ_CHECK(rows.size() <= *request.months);
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
    // Every month but the closing one pays the instalment.
    if (i + 1 < rows.size()) QV_FUZZ_CHECK(row.emi == result.emi && row.outstanding > 0);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const emi::EmiRequest request = some_request(in);
  auto result = emi::compute(request);
  if (!result) {
    QV_FUZZ_CHECK(!result.error().display().empty());
    return 0;
  }
  check_rows(request, result.value());
  check_calendar(request, result.value());
  QV_FUZZ_CHECK(std::isfinite(result.value().interest_rate));
  json::Buffer written;
  json::write_value(written, result.value());
  return 0;
}
