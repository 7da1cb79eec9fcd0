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
    case R::kFeesTooLarge:
      return "fees must be less than the loan amount";
    case R::kNoApr:
      return "the payments fall short of the amount received (the loan amount less fees), "
             "so there is no annual percentage rate";
  }
  return "unknown reason";
}

std::string reason(const BadEvent& e) {
  using R = BadEvent::Reason;
  const std::string_view ellipsis = e.given.cut ? "..." : "";
  switch (e.reason) {
    case R::kUnknownKind:
      return cat("unknown kind `", e.given.view(), ellipsis,
                 "`, expected one of `prepay`, `rate`, `emi`");
    case R::kUnknownKeep:
      return cat("unknown keep `", e.given.view(), ellipsis, "`, expected `tenure` or `emi`");
    case R::kEmiKeepsEmi:
      return "an `emi` event keeps the emi, not the tenure";
    case R::kAmount:
      return "amount must be at least one whole unit";
    case R::kRate:
      return "amount must be a rate of zero or greater";
    case R::kAfterEnd:
      return cat("it takes effect after month ", std::to_string(e.first),
                 ", but the loan ends in month ", std::to_string(e.second));
    case R::kResolves:
      return cat("keeping the tenure would re-solve the emi that event ", std::to_string(e.first),
                 " sets");
    case R::kNoSuchLoan:
      return cat("loan ", std::to_string(e.first), " does not exist in a table of ",
                 std::to_string(e.second), " loans");
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
  std::string operator()(const BadEvent& e) const { return reason(e); }
};

}  // namespace

ShortText ShortText::of(std::string_view text) {
  ShortText out;
  std::size_t size = text.size();
  if (size > kCapacity) {
    // Back up over continuation bytes to the start of the sequence that does not fit.
    size = kCapacity;
    while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) --size;
    out.cut = true;
  }
  text.copy(out.bytes.data(), size);
  out.size = static_cast<std::uint8_t>(size);
  return out;
}

std::string QuorvaneError::display() const {
  std::string text = std::visit(Display{}, kind);
  return event ? cat("event ", std::to_string(*event), ": ", text) : text;
}

std::string_view QuorvaneError::field() const {
  struct Field {
    std::string_view operator()(const InvalidInput& e) const { return e.field; }
    std::string_view operator()(const EmiTooSmall&) const { return "emi"; }
    std::string_view operator()(const TenureTooLong& e) const { return e.field; }
    std::string_view operator()(const BadEvent&) const { return {}; }
  };
  if (event) return {};
  return std::visit(Field{}, kind);
}

}  // namespace quorvane
