// columns/records.h: records read from and written to Arrow columns, one column per
// field, from their declarations (record.h), like the JSON and object forms.
//
// A row of columns reads as the record a request dict would give with the row's values
// under the columns' names, nulls left out: the same fields, the same failures with the
// same texts, in the order of the source's columns. A float column holding whole numbers
// gives integer fields their value.
#pragma once

#include <algorithm>  // std::stable_sort
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>  // std::index_sequence
#include <vector>

#include "columns/arrow_output.h"
#include "columns/column.h"
#include "decode_failure.h"
#include "record.h"

namespace quorvane::columns {

/// What the column of a field holds. kTextOrInteger, for cells that are only written out,
/// is decided by the column's own type: integers, else text. kMonth is text ("YYYY-MM")
/// that a column of dates or timestamps may give instead, as the month of each.
enum class Holds : std::uint8_t { kText, kNumber, kTextOrInteger, kMonth };

/// A field whose text names a month: its TextForm says so with `kMonth`.
template <class T>
concept MonthType = record::TextType<T> && requires {
  record::TextForm<T>::kMonth;
};

namespace detail {

template <class T>
constexpr Holds holds() {
  if constexpr (record::IsOptional<T>::value) {
    return holds<typename T::value_type>();
  } else if constexpr (std::is_arithmetic_v<T>) {
    return Holds::kNumber;
  } else if constexpr (MonthType<T>) {
    return Holds::kMonth;
  } else {
    static_assert(std::is_same_v<T, std::string> || record::EnumType<T> || record::TextType<T>,
                  "a field read from a column holds a text or a number");
    return Holds::kText;
  }
}

}  // namespace detail

/// For each field of R, in declared order, what its column holds.
template <record::RecordType R>
inline constexpr auto kHolds = std::apply(
    [](const auto&... field) {
      return std::array<Holds, sizeof...(field)>{
          detail::holds<typename std::decay_t<decltype(field)>::Type>()...};
    },
    record::Schema<R>::fields);

/// Whether a null cell of a text field reads as empty text instead of failing: a label (a
/// category or a merchant), which a CSV file leaves blank where there is none and which
/// pandas, polars and Spark read back as null. The command line reads the same blank cell
/// as empty text, so both ways of reading a file give the same answer.
constexpr bool null_reads_empty(std::string_view field) {
  return field == "category" || field == "merchant";
}

/// For each field of R, in declared order, null_reads_empty of its name.
template <record::RecordType R>
inline constexpr auto kNullReadsEmpty = [] {
  std::array<bool, record::kFieldCount<R>> out{};
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = kHolds<R>[i] == Holds::kText && null_reads_empty(record::kFieldNames<R>[i]);
  }
  return out;
}();

/// For each field of R, in declared order, whether an empty text in its column reads as
/// absent: a field that may be absent (a loan's start, an event's keep), whose blank cell
/// in a CSV file pyarrow reads as an empty text where pandas and polars read a null.
template <record::RecordType R>
inline constexpr auto kEmptyIsAbsent = [] {
  std::array<bool, record::kFieldCount<R>> out{};
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = record::kPresence<R>[i] != record::Presence::kRequired &&
             (kHolds<R>[i] == Holds::kText || kHolds<R>[i] == Holds::kMonth);
  }
  return out;
}();

/// The column a source has for a field: none, or a text or number column, and its place
/// among the source's columns.
struct FieldColumn {
  const TextColumn* text = nullptr;
  const NumberColumn* number = nullptr;
  std::int64_t position = -1;

  bool present() const noexcept { return text != nullptr || number != nullptr; }
};

/// The columns of R's fields in one source, all of `rows` rows.
template <record::RecordType R>
struct RecordColumns {
  std::int64_t rows = 0;
  std::array<FieldColumn, record::kFieldCount<R>> fields{};
};

/// One cell of a row: its chunk and row within it, or no chunk for a null or absent cell.
struct Cell {
  const TextChunk* text = nullptr;
  const NumberChunk* number = nullptr;
  std::int64_t row = 0;

  bool null() const noexcept { return text == nullptr && number == nullptr; }
};

namespace detail {

bool fail(DecodeFailure& failure, DecodeFault kind, std::string subject = {},
          std::string expected = {});
bool read_integer(const Cell& cell, std::int64_t& out, DecodeFailure& failure);

template <class T>
bool read_cell(const Cell& cell, T& out, DecodeFailure& failure) {
  if constexpr (record::IsOptional<T>::value) {
    return read_cell(cell, out.emplace(), failure);
  } else if constexpr (std::is_same_v<T, std::string>) {
    out = cell.text->text(cell.row);
    return true;
  } else if constexpr (record::EnumType<T>) {
    std::string_view name = cell.text->text(cell.row);
    if (auto found = record::variant_named<T>(name)) {
      out = *found;
      return true;
    }
    const auto& names = record::EnumSchema<T>::names;
    return fail(failure, DecodeFault::kUnknownVariant, std::string(name),
                record::variant_list(names.data(), names.size()));
  } else if constexpr (record::TextType<T>) {
    auto parsed = record::TextForm<T>::parse(cell.text->text(cell.row));
    if (!parsed) return fail(failure, DecodeFault::kBadText, parsed.error());
    out = std::move(parsed).value();
    return true;
  } else if constexpr (std::is_floating_point_v<T>) {
    out = static_cast<T>(cell.number->number(cell.row));
    return true;
  } else {
    static_assert(std::is_unsigned_v<T>, "integer fields read are unsigned");
    std::int64_t value = 0;
    if (!read_integer(cell, value, failure)) return false;
    if (value < 0 || static_cast<std::uint64_t>(value) > std::numeric_limits<T>::max()) {
      return fail(failure, DecodeFault::kU32OutOfRange);
    }
    out = static_cast<T>(value);
    return true;
  }
}

}  // namespace detail

/// Reads the rows of a source's columns as records of R, one after the other.
template <record::RecordType R>
class RowReader {
 public:
  static constexpr std::size_t kCount = record::kFieldCount<R>;

  explicit RowReader(const RecordColumns<R>& columns) {
    for (std::size_t i = 0; i < kCount; ++i) {
      const FieldColumn& field = columns.fields[i];
      if (field.text != nullptr) texts_[i].emplace(field.text->chunks);
      if (field.number != nullptr) numbers_[i].emplace(field.number->chunks);
      order_[i] = i;
    }
    // The source's column order, absent fields last: the order in which a request dict
    // made from the row would hold its keys.
    std::stable_sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) {
      auto place = [&](std::size_t i) {
        const FieldColumn& field = columns.fields[i];
        return field.present() ? field.position : INT64_MAX;
      };
      return place(a) < place(b);
    });
  }

  /// Reads the next row into `out`, a value-initialised record: false, with `failure`
  /// set, when the row is no record of R. Call it once per row, whatever the outcome.
  bool next(R& out, DecodeFailure& failure) {
    std::array<Cell, kCount> cells;
    for (std::size_t i = 0; i < kCount; ++i) {
      if (texts_[i]) {
        auto [chunk, row] = texts_[i]->next();
        if (!chunk->is_null(row) && !(kEmptyIsAbsent<R>[i] && chunk->text(row).empty())) {
          cells[i] = Cell{chunk, nullptr, row};
        }
      } else if (numbers_[i]) {
        auto [chunk, row] = numbers_[i]->next();
        if (!chunk->is_null(row)) cells[i] = Cell{nullptr, chunk, row};
      }
    }
    for (std::size_t i : order_) {
      if (cells[i].null()) continue;
      bool read = record::with_field<R>(i, [&](const auto& field) {
        return detail::read_cell(cells[i], out.*field.member, failure) ||
               failure.in_field(field.name);
      });
      if (!read) return false;
    }
    for (std::size_t i = 0; i < kCount; ++i) {
      if (cells[i].null() && record::kPresence<R>[i] == record::Presence::kRequired &&
          !kNullReadsEmpty<R>[i]) {
        return detail::fail(failure, DecodeFault::kMissingField,
                            std::string(record::kFieldNames<R>[i]));
      }
    }
    return true;
  }

 private:
  std::array<std::optional<RowCursor<TextChunk>>, kCount> texts_;
  std::array<std::optional<RowCursor<NumberChunk>>, kCount> numbers_;
  std::array<std::size_t, kCount> order_{};
};

// MARK: writing

namespace detail {

template <class T>
constexpr ColumnKind kind_of() {
  if constexpr (record::IsOptional<T>::value) {
    return kind_of<typename T::value_type>();
  } else if constexpr (std::is_same_v<T, double>) {
    return ColumnKind::kDouble;
  } else if constexpr (std::is_same_v<T, std::int32_t>) {
    return ColumnKind::kInt32;
  } else if constexpr (std::is_integral_v<T>) {
    // 64-bit integers, and unsigned 32-bit ones: a signed type wide enough for every
    // value, which every consumer reads as a plain integer.
    static_assert(sizeof(T) <= 8, "an integer of at most 64 bits");
    return ColumnKind::kInt64;
  } else {
    return ColumnKind::kText;
  }
}

// Inlined: a schedule writes a dozen values a row, and a call for each cost as much as
// the writing.
template <class T>
[[gnu::always_inline]] inline void put_value(TableBuilder& out, std::int64_t column,
                                             const T& value) {
  if constexpr (record::IsOptional<T>::value) {
    if (value) {
      put_value(out, column, *value);
    } else if (kind_of<T>() == ColumnKind::kText) {
      out.append_null(column);
    } else {
      out.put_null(column);
    }
  } else if constexpr (std::is_same_v<T, std::string>) {
    out.append_text(column, value);
  } else if constexpr (record::EnumType<T>) {
    out.append_text(column, record::variant_name(value));
  } else if constexpr (record::TextType<T>) {
    std::string text;
    record::TextForm<T>::format(value, text);
    out.append_text(column, text);
  } else if constexpr (kind_of<T>() == ColumnKind::kInt64) {
    out.put(column, static_cast<std::int64_t>(value));
  } else {
    out.put(column, value);
  }
}

}  // namespace detail

/// Appends the result columns of R's fields to `out`, in declared order: a nested
/// record's fields in its place, lists left out. `nullable`: every column may hold
/// nulls (a row may have no record); otherwise only those of optional fields.
template <record::RecordType R>
void add_columns(std::vector<ColumnShape>& out, bool nullable) {
  record::all_fields<R>([&](const auto& field) {
    using T = typename std::decay_t<decltype(field)>::Type;
    if constexpr (record::RecordType<T>) {
      add_columns<T>(out, nullable);
    } else if constexpr (!record::IsVector<T>::value && !record::IsArray<T>::value) {
      out.push_back({std::string(field.name), detail::kind_of<T>(),
                     nullable || record::IsOptional<T>::value});
    }
    return true;
  });
}

template <record::RecordType R>
std::int64_t put_record(TableBuilder& out, std::int64_t column, const R& value);

namespace detail {

// Writes one field's value, or a nested record's fields; returns the column after them.
template <class Field, class R>
[[gnu::always_inline]] inline std::int64_t put_field(TableBuilder& out, std::int64_t column,
                                                     const Field& field, const R& value) {
  using T = typename Field::Type;
  if constexpr (record::RecordType<T>) {
    return put_record(out, column, value.*field.member);
  } else if constexpr (record::IsVector<T>::value || record::IsArray<T>::value) {
    return column;
  } else {
    put_value(out, column, value.*field.member);
    return column + 1;
  }
}

template <record::RecordType R, std::size_t... I>
[[gnu::always_inline]] inline std::int64_t put_fields(TableBuilder& out, std::int64_t column,
                                                      const R& value, std::index_sequence<I...>) {
  ((column = put_field(out, column, std::get<I>(record::Schema<R>::fields), value)), ...);
  return column;
}

}  // namespace detail

/// Writes `value` into the columns that add_columns<R> made, from `column` on; returns
/// the column after them. Fixed-width columns are written unchecked: reserve first.
template <record::RecordType R>
std::int64_t put_record(TableBuilder& out, std::int64_t column, const R& value) {
  return detail::put_fields(out, column, value, std::make_index_sequence<record::kFieldCount<R>>{});
}

/// Writes nulls into the columns that add_columns<R> made, from `column` on; returns the
/// column after them.
template <record::RecordType R>
std::int64_t put_null_record(TableBuilder& out, std::int64_t column) {
  record::all_fields<R>([&](const auto& field) {
    using T = typename std::decay_t<decltype(field)>::Type;
    if constexpr (record::RecordType<T>) {
      column = put_null_record<T>(out, column);
    } else if constexpr (!record::IsVector<T>::value && !record::IsArray<T>::value) {
      if (detail::kind_of<T>() == ColumnKind::kText) {
        out.append_null(column++);
      } else {
        out.put_null(column++);
      }
    }
    return true;
  });
  return column;
}

/// A table with a row per record, its columns from R's declaration.
template <record::RecordType R>
SharedTable records_table(const std::vector<R>& records) {
  std::vector<ColumnShape> shapes;
  add_columns<R>(shapes, false);
  TableBuilder out(shapes);
  out.reserve_rows(static_cast<std::int64_t>(records.size()));
  for (const R& record : records) put_record(out, 0, record);
  return out.finish(static_cast<std::int64_t>(records.size()));
}

}  // namespace quorvane::columns
