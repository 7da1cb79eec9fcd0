// error.h: QuorvaneError, the one failure type of the engine operations.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace quorvane {

/// A request the engine rejects, and why.
struct InvalidInput {
  enum class Reason : std::uint8_t {
    kRequired,      // `field` is absent but needed when solving for `mode`
    kNotPositive,   // `field` is not greater than zero
    kNegativeRate,  // `field`, a rate, is negative or not finite
    kNoTenure,      // the solved quantity is not usable: overflow or lost precision
    kNoEmi,
    kNoLoanAmount,
    kTooLarge,      // an amount of the result leaves the signed 64-bit range
    kPastLastYear,  // a row would fall in a year past the last one a result can hold
  };
  Reason reason;
  std::string_view field = {};  // the request field named (serialised name)
  std::string_view mode = {};   // kRequired: the mode being solved for, as messages name it
};

/// The instalment does not cover the first month's interest.
struct EmiTooSmall {
  double emi;
  double interest;
};

/// The tenure, given or derived, is longer than the engine supports.
struct TenureTooLong {
  std::uint64_t months;
  std::uint32_t max;
  std::string_view field;  // "months" when given; "emi" when derived from a small instalment
};

/// Failure of an engine operation: one of the variants above.
struct QuorvaneError {
  std::variant<InvalidInput, EmiTooSmall, TenureTooLong> kind;

  /// The text the caller sees; the only place these texts are written.
  std::string display() const;
  /// The request field the failure is about (serialised name), or empty.
  std::string_view field() const;
};

}  // namespace quorvane
