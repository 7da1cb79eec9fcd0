// emi/model.h: records of the loan instalment computation.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "emi/year_month.h"
#include "record.h"

namespace quorvane::emi {

/// The quantity a request solves for.
enum class EmiMode : std::uint8_t {
  Emi,         // the monthly instalment, from the loan amount and the months
  Tenure,      // the months, from the loan amount and the instalment
  LoanAmount,  // the loan amount, from the instalment and the months
};

/// A loan to compute. Which of the three amounts must be present depends on `mode`;
/// ranges are checked by the computation, not when reading. Rates are annual percents.
struct EmiRequest {
  EmiMode mode{};
  std::optional<double> loan_amount;
  std::optional<double> emi;
  std::optional<std::uint32_t> months;
  double interest_rate = 0.0;
  double inflation_rate = 0.0;
  std::optional<YearMonth> start;
};

/// Sums over the whole schedule, in whole currency units.
struct EmiTotals {
  std::int64_t nominal_paid = 0;
  std::int64_t real_paid = 0;
  std::int64_t nominal_principal = 0;
  std::int64_t nominal_interest = 0;
  std::int64_t real_principal = 0;
  std::int64_t real_interest = 0;  // negative when inflation outweighs interest
};

/// One month of the schedule. Real values are in the money of the loan's first month.
struct EmiMonth {
  std::uint32_t index = 0;
  std::optional<std::int32_t> year;    // both present exactly when the request has a start
  std::optional<std::uint32_t> month;  // 1..12
  std::int64_t emi = 0;                // principal + interest
  std::int64_t principal = 0;
  std::int64_t interest = 0;
  std::int64_t outstanding = 0;  // balance after this month's payment
  std::int64_t real_emi = 0;     // real_principal + real_interest
  std::int64_t real_principal = 0;
  std::int64_t real_interest = 0;
  std::int64_t remaining_emi = 0;       // sum of emi over the later rows
  std::int64_t real_remaining_emi = 0;  // sum of real_emi over the later rows
};

/// A filled month of a calendar year.
struct EmiYearMonth {
  std::int64_t nominal = 0;
  std::int64_t real = 0;
};

/// One calendar year that the schedule touches; slot 0 is January.
struct EmiYear {
  std::int32_t year = 0;
  std::array<std::optional<EmiYearMonth>, 12> months;
  std::int64_t nominal_total = 0;
  std::int64_t real_total = 0;
  std::int64_t closing_outstanding = 0;
};

struct EmiResult {
  EmiMode mode{};
  std::int64_t loan_amount = 0;
  std::int64_t emi = 0;
  std::uint32_t months = 0;  // rows in `schedule`
  double interest_rate = 0.0;
  double inflation_rate = 0.0;
  std::optional<YearMonth> start;
  EmiTotals totals;
  std::vector<EmiMonth> schedule;
  std::vector<EmiYear> years;  // empty without a start
};

}  // namespace quorvane::emi

namespace quorvane::record {

template <>
struct EnumSchema<emi::EmiMode> {
  static constexpr std::array<std::string_view, 3> names{"emi", "tenure", "loanAmount"};
};

template <>
struct TextForm<emi::YearMonth> {
  static Result<emi::YearMonth, std::string> parse(std::string_view text) {
    return emi::YearMonth::parse(text);
  }
  static void format(const emi::YearMonth& value, std::string& out) { value.format(out); }
};

template <>
struct Schema<emi::EmiRequest> {
  using R = emi::EmiRequest;
  static constexpr std::string_view name = "EmiRequest";
  static constexpr std::tuple fields{
      required("mode", &R::mode),
      optional("loanAmount", &R::loan_amount),
      optional("emi", &R::emi),
      optional("months", &R::months),
      required("interestRate", &R::interest_rate),
      defaulted("inflationRate", &R::inflation_rate),
      optional("start", &R::start),
  };
};

template <>
struct Schema<emi::EmiTotals> {
  using R = emi::EmiTotals;
  static constexpr std::string_view name = "EmiTotals";
  static constexpr std::tuple fields{
      required("nominalPaid", &R::nominal_paid),
      required("realPaid", &R::real_paid),
      required("nominalPrincipal", &R::nominal_principal),
      required("nominalInterest", &R::nominal_interest),
      required("realPrincipal", &R::real_principal),
      required("realInterest", &R::real_interest),
  };
};

template <>
struct Schema<emi::EmiMonth> {
  using R = emi::EmiMonth;
  static constexpr std::string_view name = "EmiMonth";
  static constexpr std::tuple fields{
      required("index", &R::index),
      omitted_when_absent("year", &R::year),
      omitted_when_absent("month", &R::month),
      required("emi", &R::emi),
      required("principal", &R::principal),
      required("interest", &R::interest),
      required("outstanding", &R::outstanding),
      required("realEmi", &R::real_emi),
      required("realPrincipal", &R::real_principal),
      required("realInterest", &R::real_interest),
      required("remainingEmi", &R::remaining_emi),
      required("realRemainingEmi", &R::real_remaining_emi),
  };
};

template <>
struct Schema<emi::EmiYearMonth> {
  using R = emi::EmiYearMonth;
  static constexpr std::string_view name = "EmiYearMonth";
  static constexpr std::tuple fields{
      required("nominal", &R::nominal),
      required("real", &R::real),
  };
};

template <>
struct Schema<emi::EmiYear> {
  using R = emi::EmiYear;
  static constexpr std::string_view name = "EmiYear";
  static constexpr std::tuple fields{
      required("year", &R::year),
      required("months", &R::months),
      required("nominalTotal", &R::nominal_total),
      required("realTotal", &R::real_total),
      required("closingOutstanding", &R::closing_outstanding),
  };
};

template <>
struct Schema<emi::EmiResult> {
  using R = emi::EmiResult;
  static constexpr std::string_view name = "EmiResult";
  static constexpr std::tuple fields{
      required("mode", &R::mode),
      required("loanAmount", &R::loan_amount),
      required("emi", &R::emi),
      required("months", &R::months),
      required("interestRate", &R::interest_rate),
      required("inflationRate", &R::inflation_rate),
      omitted_when_absent("start", &R::start),
      required("totals", &R::totals),
      required("schedule", &R::schedule),
      required("years", &R::years),
  };
};

}  // namespace quorvane::record
