// emi/schedule.cpp: the amortisation schedule in whole currency units, the changes that
// events make to it after a row, and what follows from its rows.
#include "emi/schedule.h"

#include <algorithm>  // std::min
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "emi/arithmetic.h"
#include "emi/engine.h"
#include "fault.h"

namespace quorvane::emi::detail {
namespace {

using Reason = InvalidInput::Reason;

QuorvaneError too_large() { return QuorvaneError{InvalidInput{Reason::kTooLarge}}; }

// What the changes may alter as the rows go by.
struct Course {
  double instalment;     // E, whole
  std::int64_t emi;      // E as stored; exact whenever a regular month pays it
  double rate;           // annual percent
  double r;              // monthly fraction
  std::uint32_t months;  // the row after which nothing is owed
};

QuorvaneError after_end(const Change& change, std::uint32_t last) {
  return QuorvaneError{BadEvent{BadEvent::Reason::kAfterEnd, {}, change.month, last}, change.row};
}

QuorvaneError caused_by(QuorvaneError error, const Change& change) {
  error.event = change.row;
  return error;
}

// Applies the changes that follow row `i`, from `at` on (advancing it), to the balance
// `balance` left by the row, then solves the loan again once: its months when the last
// change keeps the instalment, its instalment when it keeps the tenure. Returns the
// prepayments, which are part of the row.
Result<double, QuorvaneError> apply(std::span<const Change> changes, std::size_t& at,
                                    std::uint32_t i, double& balance, Course& course) {
  double prepaid = 0.0;
  const Change* sets_emi = nullptr;
  const Change* last = nullptr;
  for (; at < changes.size() && changes[at].month == i; ++at) {
    const Change& change = changes[at];
    // Nothing is owed after this row: the row closed the loan, or a prepayment did.
    if (balance == 0.0) return after_end(change, i);
    switch (change.kind) {
      case EventKind::Prepay: {
        const double paid = std::min(change.amount, balance);  // both whole: exact
        balance -= paid;
        prepaid += paid;
        break;
      }
      case EventKind::Rate:
        course.rate = change.amount;
        course.r = monthly(change.amount);
        break;
      case EventKind::Emi:
        course.instalment = change.amount;
        course.emi = saturating<std::int64_t>(change.amount);
        sets_emi = &change;
        break;
    }
    last = &change;
  }
  if (balance == 0.0) return prepaid;
  QV_ASSERT(last != nullptr && i + 1 < course.months, "a change after a closing row");
  if (last->keep == Keep::Emi) {
    auto needed = tenure(balance, course.instalment, course.r);
    if (!needed) return caused_by(needed.error(), *last);
    // The limit counts from the loan's first row.
    const double months = (i + 1.0) + needed.value();
    if (months > kMaxMonths) {
      return QuorvaneError{TenureTooLong{saturating<std::uint64_t>(months), kMaxMonths, "emi"},
                           last->row};
    }
    course.months = static_cast<std::uint32_t>(months);
  } else {
    if (sets_emi != nullptr) {
      return QuorvaneError{BadEvent{BadEvent::Reason::kResolves, {}, sets_emi->row}, last->row};
    }
    const std::uint32_t left = course.months - (i + 1);
    const double unrounded = instalment(balance, left, course.r);
    if (!usable(unrounded)) return QuorvaneError{InvalidInput{Reason::kNoEmi}, last->row};
    course.instalment = amortising(unrounded, balance, left, course.r);
    course.emi = saturating<std::int64_t>(course.instalment);
  }
  return prepaid;
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

template <class Sink>
Result<std::uint32_t, QuorvaneError> amortise(const Terms& terms, std::span<const Change> changes,
                                              Sink& sink) {
  constexpr bool kKeep = std::is_same_v<Sink, KeepRows>;
  QV_ASSERT(terms.months >= 1 && terms.months <= kMaxMonths, "tenure out of range");
  Course course{terms.instalment, saturating<std::int64_t>(terms.instalment), terms.rate,
                monthly(terms.rate), terms.months};
  if constexpr (kKeep) {
    sink.rows.reserve(terms.months);
    if (sink.changes != nullptr) sink.changes->reserve(terms.months);
  }
  std::size_t at = 0;  // the next change
  double balance = terms.amount;
  double deflator = 1.0;
  std::uint32_t i = 0;
  for (;;) {
    const double interest = course.r * balance;
    EmiMonth row;
    row.index = i;
    double principal;
    double next;
    if (i == course.months - 1 || balance <= course.instalment) {
      // The closing month clears whatever remains, so its payment may differ from the
      // instalment either way.
      principal = round_half_up(balance);
      auto p = money(principal);
      auto q = money(round_half_up(interest));
      if (!p || !q) return too_large();
      row.principal = *p;
      row.interest = *q;
      row.emi = row.principal;
      if (!add(row.emi, row.interest)) return too_large();
      next = 0.0;
    } else {
      const double unrounded = course.instalment - interest;
      principal = round_half_up(unrounded);
      auto p = money(principal);
      if (!p) return too_large();
      row.principal = *p;
      if (__builtin_sub_overflow(course.emi, row.principal, &row.interest)) return too_large();
      row.emi = course.emi;
      // The balance falls by the unrounded principal, not by the rounded one.
      next = round_half_up(balance - unrounded);
    }
    const double rate = course.rate;  // this row's, before any change after it
    std::int64_t prepayment = 0;
    if (at < changes.size() && changes[at].month == i) {
      auto prepaid = apply(changes, at, i, next, course);
      if (!prepaid) return prepaid.error();
      // A prepayment is part of its row's principal and payment.
      auto paid = money(prepaid.value());
      if (!paid || !add(row.principal, *paid) || !add(row.emi, *paid)) return too_large();
      prepayment = *paid;
      principal += prepaid.value();
    }
    auto outstanding = money(next);
    if (!outstanding) return too_large();
    row.outstanding = *outstanding;
    if constexpr (kKeep) {
      // The interest as a double is exactly the rounded value that the arithmetic in
      // doubles gives, as the conversion and the subtraction both round to nearest.
      auto real_principal = money(round_half_up(principal / deflator));
      auto real_interest = money(round_half_up(static_cast<double>(row.interest) / deflator));
      if (!real_principal || !real_interest) return too_large();
      row.real_principal = *real_principal;
      row.real_interest = *real_interest;
      row.real_emi = row.real_principal;
      if (!add(row.real_emi, row.real_interest)) return too_large();
      sink.rows.push_back(row);
      if (sink.changes != nullptr) sink.changes->push_back(EmiEventMonth{rate, prepayment});
    } else {
      if (!add(sink.paid, row.emi)) return too_large();
      ++sink.rows;
    }

    ++i;
    if (next == 0.0) break;  // a regular month or a prepayment can clear the balance early
    deflator *= terms.inflation;
    if (i == course.months) break;
    balance = next;
  }
  // What is left comes after the row that closed the loan.
  if (at < changes.size()) return after_end(changes[at], i - 1);
  return i;
}

template Result<std::uint32_t, QuorvaneError> amortise<KeepRows>(const Terms&,
                                                                 std::span<const Change>,
                                                                 KeepRows&);
template Result<std::uint32_t, QuorvaneError> amortise<CountRows>(const Terms&,
                                                                  std::span<const Change>,
                                                                  CountRows&);

std::optional<QuorvaneError> complete(EmiResult& result) {
  result.months = static_cast<std::uint32_t>(result.schedule.size());
  if (!fill_remaining(result.schedule)) return too_large();
  if (result.start && !fill_calendar(*result.start, result.schedule)) {
    return QuorvaneError{InvalidInput{Reason::kPastLastYear, "start"}};
  }
  if (!fill_totals(result.schedule, result.loan_amount, result.totals)) return too_large();
  if (result.start && !fill_years(result.schedule, result.years)) return too_large();
  return std::nullopt;
}

}  // namespace quorvane::emi::detail
