// columns/engines.h: the engines run over whole columns, on plain buffers only, so the
// caller may run them without the interpreter lock.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "categorizer/engine.h"
#include "columns/arrow.h"
#include "columns/column.h"

namespace quorvane::columns {

/// Narrations per thread below which a second thread costs more than it saves.
inline constexpr std::int64_t kMinRowsPerThread = 16384;

/// Writes, for each row of `narrations`, the index of the first rule whose pattern
/// occurs in it (letter case ignored), or -1 where none does or the row is null.
/// `rules` holds one slot per row. Runs on up to `threads` threads.
void categorize(const TextColumn& narrations, std::span<const std::string_view> patterns,
                std::int32_t* rules, unsigned threads);

/// The result table of categorisation: per narration the winning rule's index, category
/// and merchant (indices into the rules' distinct texts), all null where none matched.
SharedTable categorize_table(const TextColumn& narrations,
                             const std::vector<categorizer::CategoryRule>& rules, unsigned threads);

/// The rules table: a column per field of CategoryRule.
SharedTable rules_table(const std::vector<categorizer::CategoryRule>& rules);

/// A table of derivation counts: a column per field of TokenCountRow.
SharedTable counts_table(const std::vector<categorizer::TokenCountRow>& rows);

/// The rows of three equally long columns without nulls as derivation examples, viewed
/// in the columns' buffers; read on up to `threads` threads.
std::vector<categorizer::ExampleView> examples(const TextColumn& narrations,
                                               const TextColumn& categories,
                                               const TextColumn& merchants, unsigned threads);

}  // namespace quorvane::columns
