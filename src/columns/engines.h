// columns/engines.h: the engines run over whole columns, on plain buffers only, so the
// caller may run them without the interpreter lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "categorizer/engine.h"
#include "columns/arrow.h"
#include "columns/column.h"

namespace quorvane::columns {

/// Narrations per thread below which a second thread costs more than it saves.
inline constexpr std::int64_t kMinRowsPerThread = 16384;
/// The narrations a thread takes at a time (in_pieces), a multiple of eight: whole bytes
/// of validity.
inline constexpr std::int64_t kRowsPerPiece = 16384;

/// The texts of rows [first, last) of `column` into `texts`, a null row as an empty text
/// and its number added to `nulls`. Each chunk's layout is looked at once, not per row.
void gather(const TextColumn& column, std::int64_t first, std::int64_t last,
            std::string_view* texts, std::vector<std::int64_t>& nulls);

/// Writes, for each row of `narrations`, the index of the first rule whose pattern
/// occurs in it (letter case ignored), or -1 where none does or the row is null.
/// `rules` holds one slot per row. Runs on up to `threads` threads. Gives the first row
/// that is not well-formed UTF-8 (see TextColumn::unchecked), or -1.
std::int64_t categorize(const TextColumn& narrations, std::span<const std::string_view> patterns,
                        std::int32_t* rules, unsigned threads);

/// The result table of categorisation: per narration the winning rule's index, category
/// and merchant (indices into the rules' distinct texts), all null where none matched.
/// Null, with `malformed` set to the first such row, when a row is not well-formed UTF-8.
SharedTable categorize_table(const TextColumn& narrations,
                             const std::vector<categorizer::CategoryRule>& rules, unsigned threads,
                             std::int64_t& malformed);

/// Lowers `first` to `row` when `row` is smaller: the first row of some kind found by
/// several threads.
void keep_first(std::atomic<std::int64_t>& first, std::int64_t row);

/// The rules table: a column per field of CategoryRule.
SharedTable rules_table(const std::vector<categorizer::CategoryRule>& rules);

/// A table of derivation counts: a column per field of TokenCountRow.
SharedTable counts_table(const std::vector<categorizer::TokenCountRow>& rows);

/// Labelled examples as a call reads them, viewed where they lie: three equally long
/// columns, or the views of records given one by one. In columns, a null category or
/// merchant reads as empty, and a row whose labels are both empty has no label (a CSV
/// file's blank pair of cells, which pandas, polars and Spark read as nulls and pyarrow
/// as empty texts or nulls): it is left out, as the command line leaves it out, so that
/// every reader of a file gives the same answer. Records keep the module's rule: two
/// empty labels are a label.
class ExampleRows {
 public:
  ExampleRows() = default;
  ExampleRows(const TextColumn& narrations, const TextColumn& categories,
              const TextColumn& merchants)
      : columns_{narrations, categories, merchants}, by_columns_(true) {}
  explicit ExampleRows(std::vector<categorizer::ExampleView> views) : views_(std::move(views)) {}

  std::int64_t size() const noexcept {
    return by_columns_ ? columns_[0].size() : static_cast<std::int64_t>(views_.size());
  }

  /// The views of rows [begin, end) into `out`, for a caller that reads a block at a
  /// time, rows without a label left out: gives how many were written.
  std::size_t fill(std::int64_t begin, std::int64_t end, categorizer::ExampleView* out) const;

  /// The views of every row, made once (on up to `threads` threads) when first asked.
  std::span<const categorizer::ExampleView> all(unsigned threads);

  /// Leaves out of all() the rows whose category and merchant are both empty (a CSV file's
  /// way of saying a row has no label; columns leave them out anyway); gives how many there
  /// were.
  std::int64_t drop_unlabelled(unsigned threads);

 private:
  TextColumn columns_[3];
  bool by_columns_ = false;
  bool viewed_ = false;          // views_ made from the columns
  std::int64_t unlabelled_ = 0;  // rows of the columns that views_ leaves out
  std::vector<categorizer::ExampleView> views_;
};

}  // namespace quorvane::columns
