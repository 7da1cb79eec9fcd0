// emi/engine.cpp: solving a loan for its unknown quantity and building its amortisation
// schedule in whole currency units.
//
// The arithmetic is fixed to the last bit: the monthly rate is (percent / 100) / 12, the
// compound factor comes from one fixed sequence of multiplications, logarithms and the
// inflation factor from the C library, and every rounding is half up. Amounts are stored
// as signed 64-bit integers; an amount that does not fit, and a year past the last
// signed 32-bit one, is reported as invalid input rather than clipped or wrapped.
#include "emi/engine.h"

#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fault.h"

namespace quorvane::emi {
namespace {

// The double nearest to 1/12: the exponent that turns the annual inflation factor into
// the monthly one.
constexpr double kInflationExponent = 0.08333333333333333;

// The modes as messages name them.
constexpr std::array<std::string_view, 3> kModeNames{"Emi", "Tenure", "LoanAmount"};

using Reason = InvalidInput::Reason;

QuorvaneError invalid(Reason reason, std::string_view field = {}, std::string_view mode = {}) {
  return QuorvaneError{InvalidInput{reason, field, mode}};
}

std::string_view mode_name(EmiMode mode) { return kModeNames[static_cast<std::size_t>(mode)]; }

// Half up, ties toward positive infinity, without the error that adding 0.5 alone can
// make: 0.49999999999999994 + 0.5 rounds to 1.0, and the correction brings it back to 0.
double round_half_up(double x) {
  double f = std::floor(x + 0.5);
  return f - 0.5 > x ? f - 1.0 : f;
}

// Conversion toward zero that saturates at the limits of Int; NaN gives 0.
template <class Int>
Int saturating(double x) {
  constexpr Int kLow = std::numeric_limits<Int>::min();
  constexpr Int kHigh = std::numeric_limits<Int>::max();
  // kHigh + 1, a power of two and so exact: the first double past the range.
  constexpr double kEnd = static_cast<double>(kHigh / 2 + 1) * 2.0;
  if (std::isnan(x)) return 0;
  if (x >= kEnd) return kHigh;
  if (x <= static_cast<double>(kLow)) return kLow;
  return static_cast<Int>(x);
}

// A whole amount as the result stores it, or nothing when it is not a finite value in
// the signed 64-bit range.
std::optional<std::int64_t> money(double whole) {
  if (!(whole >= -0x1p63 && whole < 0x1p63)) return std::nullopt;
  return saturating<std::int64_t>(whole);
}

bool add(std::int64_t& sum, std::int64_t value) {
  return !__builtin_add_overflow(sum, value, &sum);
}

// base^n by binary exponentiation. The instalment and the loan amount depend on this
// exact sequence of multiplications, so it is not `std::pow`.
double power(double base, std::uint32_t n) {
  double result = (n & 1U) != 0 ? base : 1.0;
  for (std::uint32_t k = n / 2; k != 0; k /= 2) {
    base *= base;
    if ((k & 1U) != 0) result *= base;
  }
  return result;
}

// The whole instalment that pays `instalment` (unrounded) on `balance` over `months` at
// the monthly rate `r`: rounded half up, unless that would not amortise. A whole
// instalment not above the first month's interest (0 at a zero rate) lets the balance
// stand or grow, so it becomes the smallest whole unit above that interest. One that
// exceeds the interest by half a unit or less still leaves a whole balance where it was
// (half-up rounding gives the half back), so it gains a unit when the second month would
// keep the balance where the first left it. Either way the regular months would pay
// nothing off and the last month would carry the whole loan. The test runs the
// schedule's own arithmetic, so the schedule cannot disagree with it.
double amortising(double instalment, double balance, std::uint32_t months, double r) {
  double whole = round_half_up(instalment);
  const double interest = r * balance;
  if (whole <= interest) whole = std::floor(interest) + 1.0;
  // The second month is a regular one only with three months or more and a balance
  // above the instalment after each of the first two.
  if (months < 3 || balance <= whole) return whole;
  const double second = round_half_up(balance - (whole - interest));
  if (second > whole && round_half_up(second - (whole - r * second)) >= second) whole += 1.0;
  return whole;
}

// MARK: checking the request

// A rate: finite and zero or greater (negative zero is zero).
bool valid_rate(double rate) { return std::isfinite(rate) && rate >= 0.0; }

// An amount the mode needs: present, finite and greater than zero.
Result<double, QuorvaneError> positive(const std::optional<double>& value, std::string_view name,
                                       EmiMode mode) {
  if (!value) return invalid(Reason::kRequired, name, mode_name(mode));
  if (!(std::isfinite(*value) && *value > 0.0)) {
    return invalid(Reason::kNotPositive, name);
  }
  return *value;
}

// The months the mode needs: present, 1..kMaxMonths.
Result<std::uint32_t, QuorvaneError> tenure(const std::optional<std::uint32_t>& months,
                                            EmiMode mode) {
  if (!months) return invalid(Reason::kRequired, "months", mode_name(mode));
  if (*months == 0) return invalid(Reason::kNotPositive, "months");
  if (*months > kMaxMonths) return QuorvaneError{TenureTooLong{*months, kMaxMonths, "months"}};
  return *months;
}

// The three quantities of a loan, unrounded, once the unknown one is solved.
struct Loan {
  double amount;         // P
  double instalment;     // A
  std::uint32_t months;  // n, 1..kMaxMonths
};

// A solved instalment or loan amount is usable when finite and positive; anything else
// comes from overflow or lost precision, never from the loan itself.
bool usable(double solved) { return std::isfinite(solved) && solved > 0.0; }

// Checks what the mode needs, in the mode's order, and solves for the rest. The quantity
// being solved for is not looked at.
Result<Loan, QuorvaneError> solve(const EmiRequest& request, double r) {
  const EmiMode mode = request.mode;
  switch (mode) {
    case EmiMode::Emi: {
      auto amount = positive(request.loan_amount, "loanAmount", mode);
      if (!amount) return amount.error();
      auto months = tenure(request.months, mode);
      if (!months) return months.error();
      const double p = amount.value();
      const std::uint32_t n = months.value();
      double a;
      if (r == 0.0) {
        a = p / n;
      } else {
        const double f = power(1.0 + r, n);
        a = ((r * p) * f) / (f - 1.0);
      }
      if (!usable(a)) return invalid(Reason::kNoEmi);
      return Loan{p, a, n};
    }
    case EmiMode::Tenure: {
      auto amount = positive(request.loan_amount, "loanAmount", mode);
      if (!amount) return amount.error();
      auto instalment = positive(request.emi, "emi", mode);
      if (!instalment) return instalment.error();
      auto months = months_for(amount.value(), instalment.value(), r);
      if (!months) return months.error();
      return Loan{amount.value(), instalment.value(), months.value()};
    }
    case EmiMode::LoanAmount: {
      auto instalment = positive(request.emi, "emi", mode);
      if (!instalment) return instalment.error();
      auto months = tenure(request.months, mode);
      if (!months) return months.error();
      const double a = instalment.value();
      const std::uint32_t n = months.value();
      double p;
      if (r == 0.0) {
        p = a * n;
      } else {
        const double f = power(1.0 + r, n);
        p = ((f - 1.0) * a) / (r * f);
      }
      if (!usable(p)) return invalid(Reason::kNoLoanAmount);
      return Loan{p, a, n};
    }
  }
  QV_ASSERT(false, "EmiRequest.mode holds no mode");
  return invalid(Reason::kNoEmi);
}

// MARK: the schedule

// The rows, in one pass: regular months pay the whole instalment `instalment` (also given
// as `emi`), the closing month pays off what remains. Real values are deflated by one
// more month of inflation `g` per row. False when an amount leaves the 64-bit range.
bool amortise(const Loan& loan, double instalment, std::int64_t emi, double r, double g,
              std::vector<EmiMonth>& rows) {
  QV_ASSERT(loan.months >= 1 && loan.months <= kMaxMonths, "tenure out of range");
  rows.reserve(loan.months);
  double balance = loan.amount;
  double deflator = 1.0;
  for (std::uint32_t i = 0;;) {
    const double interest = r * balance;
    EmiMonth row;
    row.index = i;
    double principal;
    double next;
    if (i == loan.months - 1 || balance <= instalment) {
      // The closing month clears whatever remains, so its payment may differ from the
      // instalment either way.
      principal = round_half_up(balance);
      auto p = money(principal);
      auto q = money(round_half_up(interest));
      if (!p || !q) return false;
      row.principal = *p;
      row.interest = *q;
      row.emi = row.principal;
      if (!add(row.emi, row.interest)) return false;
      next = 0.0;
    } else {
      const double unrounded = instalment - interest;
      principal = round_half_up(unrounded);
      auto p = money(principal);
      if (!p) return false;
      row.principal = *p;
      if (__builtin_sub_overflow(emi, row.principal, &row.interest)) return false;
      row.emi = emi;
      // The balance falls by the unrounded principal, not by the rounded one.
      next = round_half_up(balance - unrounded);
    }
    auto outstanding = money(next);
    // The interest as a double is exactly the rounded value that the arithmetic in
    // doubles gives, as the conversion and the subtraction both round to nearest.
    auto real_principal = money(round_half_up(principal / deflator));
    auto real_interest = money(round_half_up(static_cast<double>(row.interest) / deflator));
    if (!outstanding || !real_principal || !real_interest) return false;
    row.outstanding = *outstanding;
    row.real_principal = *real_principal;
    row.real_interest = *real_interest;
    row.real_emi = row.real_principal;
    if (!add(row.real_emi, row.real_interest)) return false;
    rows.push_back(row);

    ++i;
    if (next == 0.0) break;  // a regular month can clear the balance early
    deflator *= g;
    if (i == loan.months) break;
    balance = next;
  }
  return true;
}

// Each row's sums over the rows after it, in one backward pass.
bool fill_remaining(std::vector<EmiMonth>& rows) {
  std::int64_t nominal = 0;
  std::int64_t real = 0;
  for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
    row->remaining_emi = nominal;
    row->real_remaining_emi = real;
    if (!add(nominal, row->emi) || !add(real, row->real_emi)) return false;
  }
  return true;
}

// The calendar month of each row; the first row falls in the start month itself.
bool fill_calendar(const YearMonth& start, std::vector<EmiMonth>& rows) {
  for (EmiMonth& row : rows) {
    const std::uint32_t offset = (start.month() - 1) + row.index;  // at most 11 + 599
    std::int32_t year;
    if (__builtin_add_overflow(start.year(), static_cast<std::int32_t>(offset / 12), &year)) {
      return false;
    }
    row.year = year;
    row.month = offset % 12 + 1;
  }
  return true;
}

bool fill_totals(const std::vector<EmiMonth>& rows, std::int64_t loan_amount, EmiTotals& totals) {
  for (const EmiMonth& row : rows) {
    if (!add(totals.nominal_paid, row.emi) || !add(totals.real_paid, row.real_emi)) return false;
  }
  totals.nominal_principal = loan_amount;
  totals.real_principal = loan_amount;
  return !__builtin_sub_overflow(totals.nominal_paid, loan_amount, &totals.nominal_interest) &&
         !__builtin_sub_overflow(totals.real_paid, loan_amount, &totals.real_interest);
}

// One entry per calendar year the rows touch, in order; rows carry their calendar month.
bool fill_years(const std::vector<EmiMonth>& rows, std::vector<EmiYear>& years) {
  QV_ASSERT(!rows.empty() && rows.front().year && rows.back().year, "rows without a calendar");
  years.reserve(static_cast<std::size_t>(std::int64_t{*rows.back().year} - *rows.front().year + 1));
  for (const EmiMonth& row : rows) {
    if (years.empty() || years.back().year != *row.year) years.emplace_back().year = *row.year;
    EmiYear& year = years.back();
    QV_ASSERT(*row.month >= 1 && *row.month <= 12, "calendar month out of range");
    year.months[*row.month - 1] = EmiYearMonth{row.emi, row.real_emi};
    if (!add(year.nominal_total, row.emi) || !add(year.real_total, row.real_emi)) return false;
    year.closing_outstanding = row.outstanding;
  }
  return true;
}

}  // namespace

Result<std::uint32_t, QuorvaneError> months_for(double loan_amount, double emi,
                                                double monthly_rate) {
  if (emi <= 0.0) return invalid(Reason::kNotPositive, "emi");
  double x;
  if (monthly_rate != 0.0) {
    const double interest = loan_amount * monthly_rate;
    if (emi <= interest) return QuorvaneError{EmiTooSmall{emi, interest}};
    // Two logarithms, each from the C library, then divided.
    x = std::log(emi / (emi - interest)) / std::log(monthly_rate + 1.0);
  } else {
    x = loan_amount / emi;
  }
  const double n = std::ceil(x);
  // Not finite or below 1 when the logarithms lost all precision.
  if (!std::isfinite(n) || n < 1.0) return invalid(Reason::kNoTenure);
  if (n > kMaxMonths) {
    return QuorvaneError{TenureTooLong{saturating<std::uint64_t>(n), kMaxMonths, "emi"}};
  }
  return saturating<std::uint32_t>(n);
}

Result<EmiResult, QuorvaneError> compute(const EmiRequest& request) {
  if (!valid_rate(request.interest_rate)) return invalid(Reason::kNegativeRate, "interestRate");
  if (!valid_rate(request.inflation_rate)) {
    return invalid(Reason::kNegativeRate, "inflationRate");
  }
  const double r = (request.interest_rate / 100.0) / 12.0;

  auto solved = solve(request, r);
  if (!solved) return solved.error();
  const Loan loan = solved.value();

  const double g = std::pow((request.inflation_rate / 100.0) + 1.0, kInflationExponent);
  // A solved instalment must pay something off every month; a given one is as given.
  const double instalment = request.mode == EmiMode::Emi
                                ? amortising(loan.instalment, loan.amount, loan.months, r)
                                : round_half_up(loan.instalment);
  const auto loan_amount = money(round_half_up(loan.amount));
  const auto emi = money(instalment);
  if (!loan_amount || !emi) return invalid(Reason::kTooLarge);

  EmiResult result;
  result.mode = request.mode;
  result.loan_amount = *loan_amount;
  result.emi = *emi;
  result.interest_rate = request.interest_rate;
  result.inflation_rate = request.inflation_rate;
  result.start = request.start;
  if (!amortise(loan, instalment, *emi, r, g, result.schedule)) return invalid(Reason::kTooLarge);
  result.months = static_cast<std::uint32_t>(result.schedule.size());
  if (!fill_remaining(result.schedule)) return invalid(Reason::kTooLarge);
  if (request.start && !fill_calendar(*request.start, result.schedule)) {
    return invalid(Reason::kPastLastYear, "start");
  }
  if (!fill_totals(result.schedule, *loan_amount, result.totals)) return invalid(Reason::kTooLarge);
  if (request.start && !fill_years(result.schedule, result.years))
    return invalid(Reason::kTooLarge);
  return result;
}

}  // namespace quorvane::emi
