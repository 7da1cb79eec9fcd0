// error.h: QuorvaneError, the one failure type of the engine operations.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace quorvane {

/// A request the engine rejects; `message` is the reason without any prefix.
struct InvalidInput {
  std::string message;
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
};

/// Failure of an engine operation: one of the variants above.
struct QuorvaneError {
  std::variant<InvalidInput, EmiTooSmall, TenureTooLong> kind;

  /// The text the caller sees; the only place these texts are written.
  std::string display() const;
};

}  // namespace quorvane
