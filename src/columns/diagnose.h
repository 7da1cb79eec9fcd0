// columns/diagnose.h: rule-set diagnostics over whole columns, on plain buffers only, so
// the caller may run them without the interpreter lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "categorizer/engine.h"
#include "categorizer/model.h"
#include "columns/arrow.h"
#include "columns/column.h"
#include "columns/engines.h"

namespace quorvane::columns {

/// Per narration, why it gets its rule: `rule`, `start`, `end` (the winning pattern's
/// leftmost occurrence, in code points of the narration) and `matched` (how many rules
/// occur in it), int32, all null where no rule matched or the row is null. Runs on up to
/// `threads` threads. Null, with `too_long` set to the first such row, when a span ends
/// beyond the int32 range, or with `malformed` set to the first row that is not
/// well-formed UTF-8 (see TextColumn::unchecked).
SharedTable explain_table(const TextColumn& narrations,
                          std::span<const categorizer::CategoryRule> rules, unsigned threads,
                          std::int64_t& too_long, std::int64_t& malformed);

/// The rules that never win: `rule`, `kind`, `by`, `message`, a row per finding.
SharedTable lint_table(std::span<const categorizer::CategoryRule> rules, unsigned threads);

/// The rules' figures on labelled examples: the tables `per_rule`, `per_category` and
/// `summary`.
std::array<SharedTable, 3> evaluate_tables(const ExampleRows& examples,
                                           std::span<const categorizer::CategoryRule> rules,
                                           unsigned threads);

/// The `top` largest groups of the non-null narrations no rule matches: `word` (null for
/// narrations without a word), `count` and `examples` (a list of texts). Null, with
/// `malformed` set to the first such row, when a row is not well-formed UTF-8.
SharedTable unmatched_table(const TextColumn& narrations,
                            std::span<const categorizer::CategoryRule> rules, std::size_t top,
                            unsigned threads, std::int64_t& malformed);

}  // namespace quorvane::columns
