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

/// The result of a request: the solved loan, its schedule, totals and calendar years.
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

/// What a loan's row carries beside its EmiRequest when its costs are asked for.
struct EmiCharges {
  // Upfront charges, whole units: the borrower receives the rest. Absent (a null, or a
  // None in a request dict) is none, in every channel alike.
  std::optional<double> fees;
};

/// What an event does to its loan.
enum class EventKind : std::uint8_t {
  Prepay,  // pays `amount` off the balance after the event's month
  Rate,    // sets the annual rate to `amount` percent from the next month on
  Emi,     // sets the instalment to `amount` from the next month on
};

/// What the borrower keeps when an event changes the loan; the other is solved again.
enum class Keep : std::uint8_t {
  Tenure,  // the months: the instalment is solved again
  Emi,     // the instalment: the months are solved again
};

/// A row of an events table. `kind` and `keep` stay texts here: an unknown one is an
/// error of its loan alone, which the engine reports naming the event's row.
struct EmiEvent {
  std::uint32_t loan = 0;           // the loan's row in its table
  std::uint32_t month = 0;          // the schedule row after which the event takes effect
  std::string kind;                 // "prepay", "rate" or "emi" (EventKind)
  double amount = 0.0;              // whole units for prepay and emi; annual percent for rate
  std::optional<std::string> keep;  // "tenure" or "emi" (Keep); absent keeps the emi
};

/// What a schedule row carries beside an EmiMonth when its loan may have events.
struct EmiEventMonth {
  double rate = 0.0;            // annual percent in force in this month
  std::int64_t prepayment = 0;  // part of the row's principal and emi
};

/// What a loan carries beside its EmiResult when it may have events: the comparison with
/// the same loan without them and, given fees, the annual percentage rate.
struct EmiEventSummary {
  std::int64_t baseline_interest = 0;    // nominal interest of the loan without events
  std::int64_t interest_saved = 0;       // baseline_interest - nominal interest; may be < 0
  std::int32_t months_saved = 0;         // rows without events - rows with them; may be < 0
  std::optional<double> apr;             // percent, with fees only
  std::optional<double> effective_rate;  // percent, with fees only
};

/// A loan computed with its events. `result` is what `compute` gives for the request
/// with the events applied (its `emi` is the first instalment); `months` runs beside
/// `result.schedule`, one entry per row.
struct EmiEventResult {
  EmiResult result;
  std::vector<EmiEventMonth> months;
  EmiEventSummary summary;
};

}  // namespace quorvane::emi

namespace quorvane::record {

template <>
struct EnumSchema<emi::EmiMode> {
  static constexpr std::array<std::string_view, 3> names{"emi", "tenure", "loanAmount"};
};

template <>
struct EnumSchema<emi::EventKind> {
  static constexpr std::array<std::string_view, 3> names{"prepay", "rate", "emi"};
};

template <>
struct EnumSchema<emi::Keep> {
  static constexpr std::array<std::string_view, 2> names{"tenure", "emi"};
};

template <>
struct TextForm<emi::YearMonth> {
  static constexpr bool kMonth = true;  // a column of dates gives it too
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

template <>
struct Schema<emi::EmiCharges> {
  using R = emi::EmiCharges;
  static constexpr std::string_view name = "EmiCharges";
  static constexpr std::tuple fields{optional("fees", &R::fees)};
};

template <>
struct Schema<emi::EmiEvent> {
  using R = emi::EmiEvent;
  static constexpr std::string_view name = "EmiEvent";
  static constexpr std::tuple fields{
      required("loan", &R::loan),     required("month", &R::month), required("kind", &R::kind),
      required("amount", &R::amount), optional("keep", &R::keep),
  };
};

template <>
struct Schema<emi::EmiEventMonth> {
  using R = emi::EmiEventMonth;
  static constexpr std::string_view name = "EmiEventMonth";
  static constexpr std::tuple fields{
      required("rate", &R::rate),
      required("prepayment", &R::prepayment),
  };
};

template <>
struct Schema<emi::EmiEventSummary> {
  using R = emi::EmiEventSummary;
  static constexpr std::string_view name = "EmiEventSummary";
  static constexpr std::tuple fields{
      required("baselineInterest", &R::baseline_interest),
      required("interestSaved", &R::interest_saved),
      required("monthsSaved", &R::months_saved),
      omitted_when_absent("apr", &R::apr),
      omitted_when_absent("effectiveRate", &R::effective_rate),
  };
};

}  // namespace quorvane::record
