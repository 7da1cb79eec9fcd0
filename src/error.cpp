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

struct Display {
  std::string operator()(const InvalidInput& e) const { return cat("invalid input: ", e.message); }
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

}  // namespace quorvane
