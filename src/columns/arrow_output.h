// columns/arrow_output.h: building result tables with nanoarrow, without Python.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "columns/arrow.h"

namespace quorvane::columns {

/// The kind of a result column.
enum class ColumnKind : std::uint8_t {
  kInt32,
  kInt64,
  kText,        // utf8
  kDictionary,  // int32 indices into a utf8 dictionary
  kFloat64,
  kTextList,  // a list of utf8 per row
};

/// A result column: its name and what it holds.
struct ColumnShape {
  const char* name;
  ColumnKind kind;
};

/// A table under construction: one struct array whose columns are appended to row by
/// row (`column(i)` with nanoarrow's ArrowArrayAppend*) or filled in place (`int32s`,
/// `validity`). Running out of memory throws std::bad_alloc.
class TableBuilder {
 public:
  explicit TableBuilder(std::initializer_list<ColumnShape> columns);

  /// Column `i`, ready for appending.
  ArrowArray* column(std::int64_t i) noexcept { return table_->array->children[i]; }
  /// The dictionary of a kDictionary column, ready for appending.
  ArrowArray* dictionary(std::int64_t i) noexcept { return column(i)->dictionary; }

  /// Room for `rows` int32 values of column `i`, to be written in place.
  std::int32_t* int32s(std::int64_t i, std::int64_t rows);
  /// A validity bitmap of `rows` bits for column `i`, all clear, to be set in place.
  std::uint8_t* validity(std::int64_t i, std::int64_t rows);
  /// Sets the length and null count of a column filled in place.
  void set_filled(std::int64_t i, std::int64_t rows, std::int64_t nulls) noexcept;

  /// Makes room for `rows` more values in every int32 and int64 column, and in its
  /// validity bitmap when `nullable` says so, for the unchecked `put` below.
  void reserve_rows(std::int64_t rows, std::initializer_list<std::int64_t> nullable);

  /// The table of `rows` rows; every column must hold that many.
  std::shared_ptr<const Table> finish(std::int64_t rows);

 private:
  std::shared_ptr<Table> table_;
  std::vector<ColumnKind> kinds_;
};

/// Appends a value to a column without checking for room (see `reserve_rows`); a column
/// filled this way gets its length and null count from `set_filled`.
template <class T>
void put(ArrowArray* column, T value) noexcept {
  ArrowBufferAppendUnsafe(ArrowArrayBuffer(column, 1), &value, sizeof value);
}

/// Appends one validity bit to a column without checking for room.
inline void put_valid(ArrowArray* column, bool valid) noexcept {
  ArrowBitmapAppendUnsafe(ArrowArrayValidityBitmap(column), valid ? 1 : 0, 1);
}

/// Throws std::bad_alloc for ENOMEM; any other failure is a broken invariant.
void check_arrow(int code);

/// Appends helpers that check their result.
void append_int(ArrowArray* column, std::int64_t value);
void append_null(ArrowArray* column);
void append_text(ArrowArray* column, std::string_view text);
/// A float64 value, or null when absent.
void append_double(ArrowArray* column, std::optional<double> value);
/// One row of a kTextList column: the texts `text(i)` for i in [0, count).
template <class Text>
void append_texts(ArrowArray* column, std::size_t count, const Text& text) {
  for (std::size_t i = 0; i < count; ++i) append_text(column->children[0], text(i));
  check_arrow(ArrowArrayFinishElement(column));
}

}  // namespace quorvane::columns
