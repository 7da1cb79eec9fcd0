// columns/read.h: reading imported Arrow arrays into validated column views, without
// Python: every array is checked in full before any of its bytes is read.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "columns/arrow.h"
#include "columns/column.h"
#include "result.h"

namespace quorvane::columns {

/// Why the caller's input cannot be read: the kind of Python exception it stands for
/// (TypeError for a value of the wrong kind, ValueError for a malformed one, MemoryError)
/// and the message, which starts with what it is about ("narrations", "rules: column
/// 'pattern'").
struct ReadFailure {
  enum class Kind : std::uint8_t { kType, kValue, kMemory };
  Kind kind = Kind::kValue;
  std::string message;
};

/// A step that makes nothing: empty when it went well, else why it failed.
using Status = std::optional<ReadFailure>;

template <class T>
using Read = Result<T, ReadFailure>;

/// An Arrow type as its users know it (pyarrow's names): "int64", "double", "string",
/// "null", "dictionary<values=string, indices=int32>", "timestamp[us, tz=UTC]".
std::string type_name(const ArrowSchema* schema);

/// An imported producer: its schema and every array it gave, each owned and released
/// exactly once, when the Imported goes.
struct Imported {
  OwnedSchema schema;
  std::vector<std::unique_ptr<OwnedArray>> arrays;

  /// Rows over all arrays.
  std::int64_t rows() const noexcept;
  /// Whether the producer gave a table (a struct: record batches), not a column.
  bool is_table() const noexcept;
  /// A table's column named `name`, or -1.
  std::int64_t column_index(std::string_view name) const noexcept;
  /// How many of a table's columns are named `name` (an Arrow schema may repeat a name).
  std::int64_t columns_named(std::string_view name) const noexcept;
  /// A table's column names, quoted and joined for messages: "'a', 'b'".
  std::string column_names() const;
};

/// Reads every array of `stream` into `out` (its schema first). On failure, the stream's
/// own message; `what` starts it. The stream stays the caller's to release.
Status read_stream(ArrowArrayStream& stream, Imported& out, std::string_view what);

/// What columns read from producers point into besides the producers' buffers: the
/// strings of each dictionary, and validity bitmaps made where a dictionary holds nulls.
/// Columns stay valid as long as the store and the producers they were read from.
class Store {
 public:
  const std::string_view* keep(std::vector<std::string_view> words);
  const std::uint8_t* keep(std::vector<std::uint8_t> bits);
  const std::int64_t* keep(std::vector<std::int64_t> offsets);
  const double* keep(std::vector<double> numbers);
  const char* keep(std::string text);

 private:
  std::deque<std::vector<std::string_view>> words_;
  std::deque<std::vector<std::uint8_t>> bits_;
  std::deque<std::vector<std::int64_t>> offsets_;
  std::deque<std::vector<double>> numbers_;
  std::deque<std::string> texts_;
};

/// The arrays of one column: the producer's own when it is a column, or one column of
/// each record batch when it is a table (rows `start` to `start + length` of the column's
/// array, as a sliced batch covers them).
struct ColumnArrays {
  const ArrowSchema* schema = nullptr;
  struct Part {
    const ArrowArray* array;
    std::int64_t start;
    std::int64_t length;
  };
  std::vector<Part> parts;
};

/// Whether reading a column of strings checks that every row is well-formed UTF-8, or
/// leaves that to whoever reads the rows as text (TextColumn::unchecked): an engine that
/// lowers them, which checks the rows holding a byte >= 0x80 as it goes, or nobody, for a
/// call that only measures or copies their bytes.
enum class Utf8 : bool { kCheck, kUnchecked };

/// Column `index` of an imported table, or (with index -1) the producer itself as a
/// column. `label` starts a failure's message.
Read<ColumnArrays> column_arrays(const Imported& in, std::int64_t index, std::string_view label);

/// A column of strings: utf8, large_utf8, string_view (or their binary kin, whose bytes
/// must then be UTF-8 text), a dictionary of any of them with
/// indices of any integer type (each array with its own dictionary), or the null type.
/// Every array is validated in full first, string views and dictionary indices included,
/// and so is its text as UTF-8, unless `utf8` leaves that to the engine.
Read<TextColumn> read_texts(const ColumnArrays& column, std::string_view label, Store& store,
                            Utf8 utf8 = Utf8::kCheck);

/// The failure of a row of a string column that is not well-formed UTF-8.
std::string malformed_row(std::string_view label, std::int64_t row);

/// A column of months as text ("YYYY-MM"): a column of strings as read_texts reads it, or
/// of dates (date32, date64) or timestamps without a time zone, each row the month it
/// falls in. A timestamp with a time zone is refused: its month depends on the zone.
Read<TextColumn> read_months(const ColumnArrays& column, std::string_view label, Store& store);

/// Whether a column's Arrow type is an integer type.
bool holds_integers(const ColumnArrays& column);

/// A column of numbers: any integer or floating-point type, a decimal, the null type, or
/// a dictionary of integers or floats (whose rows are copied out, each its value).
Read<NumberColumn> read_numbers(const ColumnArrays& column, std::string_view label, Store& store);

}  // namespace quorvane::columns
