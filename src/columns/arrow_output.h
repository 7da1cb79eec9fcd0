// columns/arrow_output.h: building result tables with nanoarrow, without Python.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>  // std::length_error
#include <string>
#include <string_view>
#include <vector>

#include "columns/arrow.h"

namespace quorvane::columns {

/// Throws std::bad_alloc for ENOMEM; any other failure is a broken invariant.
void check_arrow(int code);

/// Thrown when a result's text column would pass what Arrow's string columns hold (2 GiB
/// of text): a limit of the result's form, like running out of memory, not a fault.
class ResultTooLarge : public std::length_error {
 public:
  using std::length_error::length_error;
};

/// The kind of a result column.
enum class ColumnKind : std::uint8_t {
  kInt32,
  kInt64,
  kDouble,
  kText,        // utf8
  kDictionary,  // int32 indices into a utf8 dictionary
  kTextList,    // a list of utf8 per row
};

/// A result column: its name, what it holds and whether it may hold nulls.
struct ColumnShape {
  std::string name;
  ColumnKind kind;
  bool nullable = false;
};

/// A table under construction: one struct array of columns. Fixed-width columns are
/// written without checks (`put`, after `reserve_rows`) or filled in place (`int32s`,
/// `validity`, then `set_filled`); text and dictionary columns are appended to with
/// checks. Running out of memory throws std::bad_alloc.
class TableBuilder {
 public:
  explicit TableBuilder(const std::vector<ColumnShape>& columns);

  /// Column `i`, ready for appending.
  ArrowArray* column(std::int64_t i) noexcept { return table_->array->children[i]; }
  /// The dictionary of a kDictionary column, ready for appending.
  ArrowArray* dictionary(std::int64_t i) noexcept { return column(i)->dictionary; }

  /// Room for `rows` int32 values of column `i`, to be written in place; asked for once
  /// per column, it does not grow.
  std::int32_t* int32s(std::int64_t i, std::int64_t rows);
  /// A validity bitmap of `rows` bits for column `i`, all clear, to be set in place.
  std::uint8_t* validity(std::int64_t i, std::int64_t rows);
  /// Sets the length and null count of a column filled in place.
  void set_filled(std::int64_t i, std::int64_t rows, std::int64_t nulls) noexcept;

  /// Makes room for `rows` more values in every fixed-width column, and in the validity
  /// bitmap of each nullable one, for the unchecked `put` below.
  void reserve_rows(std::int64_t rows);

  /// Appends a value to fixed-width column `i` without checking for room; a nullable
  /// column also gets its validity bit.
  template <class T>
  [[gnu::always_inline]] void put(std::int64_t i, T value) noexcept {
    Column& c = columns_[static_cast<std::size_t>(i)];
    ArrowBufferAppendUnsafe(c.data, &value, sizeof value);
    if (c.bits != nullptr) ArrowBitmapAppendUnsafe(c.bits, 1, 1);
  }
  /// Appends a null to nullable fixed-width column `i` without checking for room.
  void put_null(std::int64_t i) noexcept;

  /// Appends to a text column, with checks: ResultTooLarge past 2 GiB of text.
  void append_text(std::int64_t i, std::string_view text) { append_string(column(i), text, i); }
  /// Appends to the dictionary of kDictionary column `i`, with the same checks.
  void append_dictionary_text(std::int64_t i, std::string_view text) {
    append_string(dictionary(i), text, i);
  }
  void append_null(std::int64_t i);

  /// Appends one row to list column `i`: the texts `text(k)` for k in [0, count).
  template <class Text>
  void append_texts(std::int64_t i, std::size_t count, const Text& text) {
    ArrowArray* list = column(i);
    for (std::size_t k = 0; k < count; ++k) append_string(list->children[0], text(k), i);
    check_arrow(ArrowArrayFinishElement(list));
  }

  /// The table of `rows` rows; every column must hold that many.
  std::shared_ptr<const Table> finish(std::int64_t rows);

 private:
  // Appends `text` to `array`, a string array of column `i`.
  void append_string(ArrowArray* array, std::string_view text, std::int64_t i);

  struct Column {
    std::string name;
    ColumnKind kind;
    bool nullable;
    ArrowBuffer* data = nullptr;  // the values of a fixed-width column
    ArrowBitmap* bits = nullptr;  // its validity, when nullable
    bool filled = false;          // filled in place: length and nulls set by set_filled
    std::int64_t nulls = 0;       // put_null calls
  };
  std::shared_ptr<Table> table_;
  std::vector<Column> columns_;
};

}  // namespace quorvane::columns
