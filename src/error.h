// error.h: QuorvaneError, the one failure type of the engine operations.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace quorvane {

/// A request the engine rejects, and why.
struct InvalidInput {
  enum class Reason : std::uint8_t {
    kRequired,      // `field` is absent but needed when solving for `mode`
    kNotPositive,   // `field` is not greater than zero
    kNegativeRate,  // `field`, a rate or the fees, is negative or not finite
    kNoTenure,      // the solved quantity is not usable: overflow or lost precision
    kNoEmi,
    kNoLoanAmount,
    kTooLarge,      // an amount of the result leaves the signed 64-bit range
    kPastLastYear,  // a row would fall in a year past the last one a result can hold
    kFeesTooLarge,  // the fees take the whole loan amount
    kNoApr,         // the payments fall short of the amount received
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

/// The start of a text a failure quotes, kept in place so that failures stay trivially
/// copyable: at most kCapacity bytes, cut before a UTF-8 sequence that does not fit.
struct ShortText {
  static constexpr std::size_t kCapacity = 46;
  std::array<char, kCapacity> bytes{};
  std::uint8_t size = 0;
  bool cut = false;  // the text went on

  static ShortText of(std::string_view text);
  std::string_view view() const { return {bytes.data(), size}; }
};

/// An event that cannot be applied to its loan, and why.
struct BadEvent {
  enum class Reason : std::uint8_t {
    kUnknownKind,  // `given` is no kind
    kUnknownKeep,  // `given` is no keep
    kEmiKeepsEmi,  // an emi event with keep "tenure"
    kAmount,       // a prepayment or an instalment below one whole unit, or not finite
    kRate,         // a rate below zero or not finite
    kAfterEnd,     // takes effect after month `first`; the loan ends in month `second`
    kResolves,     // keeps the tenure, which re-solves the emi that event `first` sets
    kNoSuchLoan,   // names loan `first` of a table of `second` loans
  };
  Reason reason;
  ShortText given = {};
  std::uint64_t first = 0;
  std::uint64_t second = 0;
};

/// Failure of an engine operation: one of the variants above, and when an event of the
/// loan caused it, that event's row in its table.
struct QuorvaneError {
  std::variant<InvalidInput, EmiTooSmall, TenureTooLong, BadEvent> kind;
  std::optional<std::uint64_t> event = {};

  /// The text the caller sees; the only place these texts are written.
  std::string display() const;
  /// The request field the failure is about (serialised name), or empty; empty too when
  /// an event caused it.
  std::string_view field() const;
};

}  // namespace quorvane
