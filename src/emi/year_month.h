// emi/year_month.h: calendar months and their "YYYY-MM" text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "result.h"

namespace quorvane::emi {

/// A calendar month of a calendar year. The month is always 1..12: apart from the
/// default (January of year 0, a placeholder for readers to fill), the only ways to
/// make one are `make` and `parse`, and both refuse any other month.
class YearMonth {
 public:
  constexpr YearMonth() noexcept = default;

  /// The month `month` (January = 1) of `year`; empty unless 1 <= month <= 12. Any year.
  static constexpr std::optional<YearMonth> make(std::int32_t year, std::uint32_t month) noexcept {
    if (month < 1 || month > 12) return std::nullopt;
    return YearMonth(year, month);
  }

  /// Reads the tolerant input form: a year (optional '+', ASCII digits, at most
  /// 2147483647), a hyphen, a month (optional '+', ASCII digits, 1..12). Leading zeros
  /// are fine; nothing is trimmed. The failure is the whole message, quoting `text`.
  static Result<YearMonth, std::string> parse(std::string_view text);

  /// Appends "YYYY-MM": the year zero-padded to at least four digits, the month to two.
  void format(std::string& out) const;

  constexpr std::int32_t year() const noexcept { return year_; }
  constexpr std::uint32_t month() const noexcept { return month_; }

  friend constexpr bool operator==(const YearMonth&, const YearMonth&) = default;

 private:
  constexpr YearMonth(std::int32_t year, std::uint32_t month) noexcept
      : year_(year), month_(month) {}

  std::int32_t year_ = 0;
  std::uint32_t month_ = 1;
};

}  // namespace quorvane::emi
