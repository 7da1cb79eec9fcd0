// columns/records.cpp: the non-template parts of reading records from Arrow columns.
#include "columns/records.h"

namespace quorvane::columns::detail {

bool fail(DecodeFailure& failure, DecodeFault kind, std::string subject, std::string expected) {
  failure.kind = kind;
  failure.subject = std::move(subject);
  failure.expected = std::move(expected);
  return false;
}

bool read_integer(const Cell& cell, std::int64_t& out, DecodeFailure& failure) {
  switch (cell.number->whole(cell.row, out)) {
    case Whole::kYes:
      return true;
    case Whole::kNotWhole:
      return fail(failure, DecodeFault::kNotAnInteger);
    case Whole::kTooLarge:
      break;
  }
  return fail(failure, DecodeFault::kIntTooLarge);
}

}  // namespace quorvane::columns::detail
