// emi/engine.cpp: checking a loan request, solving it for its unknown quantity, and
// computing it: the schedule (emi/schedule.cpp) and what follows from it.
//
// The arithmetic is fixed to the last bit: the monthly rate is (percent / 100) / 12, the
// compound factor comes from one fixed sequence of multiplications, logarithms and the
// inflation factor from the C library, and every rounding is half up. Amounts are stored
// as signed 64-bit integers; an amount that does not fit, and a year past the last
// signed 32-bit one, is reported as invalid input rather than clipped or wrapped.
#include "emi/engine.h"

#include <array>
#include <cmath>  // std::isfinite, std::pow
#include <cstdint>
#include <optional>
#include <string_view>

#include "emi/arithmetic.h"
#include "emi/schedule.h"
#include "fault.h"

namespace quorvane::emi {

using namespace detail;

namespace {

// The modes as messages name them.
constexpr std::array<std::string_view, 3> kModeNames{"Emi", "Tenure", "LoanAmount"};

using Reason = InvalidInput::Reason;

QuorvaneError invalid(Reason reason, std::string_view field = {}, std::string_view mode = {}) {
  return QuorvaneError{InvalidInput{reason, field, mode}};
}

std::string_view mode_name(EmiMode mode) { return kModeNames[static_cast<std::size_t>(mode)]; }

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
Result<std::uint32_t, QuorvaneError> given_months(const std::optional<std::uint32_t>& months,
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

// Checks what the mode needs, in the mode's order, and solves for the rest. The quantity
// being solved for is not looked at.
Result<Loan, QuorvaneError> solve(const EmiRequest& request, double r) {
  const EmiMode mode = request.mode;
  switch (mode) {
    case EmiMode::Emi: {
      auto amount = positive(request.loan_amount, "loanAmount", mode);
      if (!amount) return amount.error();
      auto months = given_months(request.months, mode);
      if (!months) return months.error();
      const double a = instalment(amount.value(), months.value(), r);
      if (!usable(a)) return invalid(Reason::kNoEmi);
      return Loan{amount.value(), a, months.value()};
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
      auto months = given_months(request.months, mode);
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

}  // namespace

Result<std::uint32_t, QuorvaneError> months_for(double loan_amount, double emi,
                                                double monthly_rate) {
  auto months = detail::tenure(loan_amount, emi, monthly_rate);
  if (!months) return months.error();
  if (months.value() > kMaxMonths) {
    return QuorvaneError{
        TenureTooLong{saturating<std::uint64_t>(months.value()), kMaxMonths, "emi"}};
  }
  return static_cast<std::uint32_t>(months.value());
}

Result<Terms, QuorvaneError> detail::prepare(const EmiRequest& request, EmiResult& head) {
  if (!valid_rate(request.interest_rate)) return invalid(Reason::kNegativeRate, "interestRate");
  if (!valid_rate(request.inflation_rate)) {
    return invalid(Reason::kNegativeRate, "inflationRate");
  }
  const double r = monthly(request.interest_rate);

  auto solved = solve(request, r);
  if (!solved) return solved.error();
  const Loan loan = solved.value();

  const double g = std::pow((request.inflation_rate / 100.0) + 1.0, kInflationExponent);
  // A solved instalment must pay something off every month; a given one is as given.
  const double whole = request.mode == EmiMode::Emi
                           ? amortising(loan.instalment, loan.amount, loan.months, r)
                           : round_half_up(loan.instalment);
  const auto loan_amount = money(round_half_up(loan.amount));
  const auto emi = money(whole);
  if (!loan_amount || !emi) return invalid(Reason::kTooLarge);

  head.mode = request.mode;
  head.loan_amount = *loan_amount;
  head.emi = *emi;
  head.interest_rate = request.interest_rate;
  head.inflation_rate = request.inflation_rate;
  head.start = request.start;
  return Terms{loan.amount, whole, loan.months, request.interest_rate, g};
}

Result<EmiResult, QuorvaneError> compute(const EmiRequest& request) {
  EmiResult result;
  auto terms = prepare(request, result);
  if (!terms) return terms.error();
  KeepRows rows{result.schedule, nullptr};
  auto made = amortise(terms.value(), {}, rows);
  if (!made) return made.error();
  if (auto failure = complete(result)) return *failure;
  return result;
}

}  // namespace quorvane::emi
