// emi/year_month.cpp: reading and writing the "YYYY-MM" text of a calendar month.
#include "emi/year_month.h"

#include <cstdio>  // std::snprintf

#include "quote.h"

namespace quorvane::emi {
namespace {

// An optional '+' and one or more ASCII digits whose value is at most `max`; any other
// text, an empty one, a lone '+' or a larger value gives nothing. Leading zeros are fine.
std::optional<std::uint32_t> decimal(std::string_view text, std::uint32_t max) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<std::uint32_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::string failure(std::string_view what, std::string_view text) {
  std::string out(what);
  append_quoted(text, out);
  return out;
}

}  // namespace

Result<YearMonth, std::string> YearMonth::parse(std::string_view text) {
  std::size_t hyphen = text.find('-');
  if (hyphen == std::string_view::npos) return failure("expected \"YYYY-MM\", got ", text);
  auto year = decimal(text.substr(0, hyphen), INT32_MAX);
  if (!year) return failure("invalid year in ", text);
  auto month = decimal(text.substr(hyphen + 1), UINT32_MAX);
  if (!month) return failure("invalid month in ", text);
  auto value = make(static_cast<std::int32_t>(*year), *month);
  if (!value) return failure("month out of range in ", text);
  return *value;
}

void YearMonth::format(std::string& out) const {
  char buffer[32];  // "-2147483648-4294967295" at most
  int n = std::snprintf(buffer, sizeof buffer, "%04d-%02u", static_cast<int>(year_),
                        static_cast<unsigned>(month_));
  out.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

}  // namespace quorvane::emi
