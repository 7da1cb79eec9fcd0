// error.cpp: display texts of QuorvaneError.
#include "error.h"

#include <cmath>   // std::isnan
#include <cstdio>  // std::snprintf

#include "cat.h"

namespace quorvane {
namespace {

// Fixed-point with two decimals, correctly rounded; non-finite values as NaN, inf, -inf.
std::string two_decimals(double value) {
  if (std::isnan(value)) return "NaN";
  char buffer[400];  // the longest finite double printed with two decimals fits
  int n = std::snprintf(buffer, sizeof buffer, "%.2f", value);
  return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string reason(const InvalidInput& e) {
  using R = InvalidInput::Reason;
  switch (e.reason) {
    case R::kRequired:
      return cat(e.field, " is required when solving for ", e.mode);
    case R::kNotPositive:
      return cat(e.field, " must be greater than zero");
    case R::kNegativeRate:
      return cat(e.field, " must be zero or greater");
    case R::kNoTenure:
      return "could not derive a valid tenure from the supplied loan amount and emi";
    case R::kNoEmi:
      return "could not derive a valid emi from the supplied loan amount and months";
    case R::kNoLoanAmount:
      return "could not derive a valid loan amount from the supplied emi and months";
    case R::kTooLarge:
      return "the loan's amounts are too large to be represented in whole currency units";
    case R::kPastLastYear:
      return "start is too late: the schedule would run past the year 2147483647";
  }
  return "unknown reason";
}

struct Display {
  std::string operator()(const InvalidInput& e) const { return cat("invalid input: ", reason(e)); }
  std::string operator()(const EmiTooSmall& e) const {
    return cat("monthly payment of ", two_decimals(e.emi),
               " does not cover the first month's interest of ", two_decimals(e.interest),
               "; the loan would never be repaid");
  }
  std::string operator()(const TenureTooLong& e) const {
    return cat("tenure of ", std::to_string(e.months), " months exceeds the maximum supported ",
               std::to_string(e.max), " months");
  }
};

}  // namespace

std::string QuorvaneError::display() const { return std::visit(Display{}, kind); }

std::string_view QuorvaneError::field() const {
  struct Field {
    std::string_view operator()(const InvalidInput& e) const { return e.field; }
    std::string_view operator()(const EmiTooSmall&) const { return "emi"; }
    std::string_view operator()(const TenureTooLong& e) const { return e.field; }
  };
  return std::visit(Field{}, kind);
}

}  // namespace quorvane
