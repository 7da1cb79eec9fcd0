// columns/input.h: the caller's arguments as columns or records, under the interpreter
// lock. The shape of an input (an Arrow column or table, a stream, a mapping of columns,
// a sequence of records or of str) is decided here, once.
#pragma once

#include <Python.h>

#include <array>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cat.h"
#include "columns/read.h"
#include "columns/records.h"
#include "py/decode.h"
#include "record.h"

namespace quorvane::columns {

/// Whether `object` exports the Arrow PyCapsule interface (a lookup that raises counts
/// as no).
bool is_arrow_producer(PyObject* object);

/// Whether every row of a record input must be a record (rules, counts: a required
/// column that is absent or holds a null, or a row that is no record, fails the call), or
/// each row stands on its own (loans: a row that is no record keeps its reason).
enum class Rows : std::uint8_t { kAll, kEach };

/// Records of R as an input holds them: the columns of a table, one per field (read with
/// RowReader), or the elements of a sequence, each decoded by the object form.
template <record::RecordType R>
struct RecordInput {
  bool by_columns = true;
  RecordColumns<R> columns;
  std::vector<Result<R, DecodeFailure>> elements;
  /// The elements as they were read, one per entry of `elements`: a sequence is copied
  /// as list() copies it, by iterating (its __len__ is only a hint), and before any of its
  /// elements is read, since reading one may run Python code that changes the sequence.
  py::PyRef sequence;
};

/// Everything the columns of one call point into: imported producers, encoded copies of
/// plain Python sequences, dictionaries' strings. What is read through it stays valid,
/// and safe to read without the interpreter lock, for as long as it lives.
///
/// Every reader returns false with a Python exception set on failure: TypeError for an
/// input of the wrong kind (naming its type), ValueError for a malformed or incomplete
/// one (an array is validated in full before any of its bytes is read), and the
/// producer's own exception when one of its callbacks raised. `what` names the argument
/// in messages.
class Inputs {
 public:
  Inputs() = default;
  Inputs(const Inputs&) = delete;
  Inputs& operator=(const Inputs&) = delete;
  /// Releases every producer structure, with any pending exception put aside meanwhile:
  /// a producer written in Python runs code in its release callbacks.
  ~Inputs();

  /// A string column: an Arrow column (any string layout, see read_texts), a table or
  /// stream of one column, or of several with `column` (a str, or null for none) naming
  /// one; a mapping of names to columns, likewise; or a sequence of str and None.
  /// `utf8`: see read_texts. `choose` ends the message for a table of several columns
  /// without `column`: how the call lets the caller pick one.
  bool text(PyObject* source, std::string_view what, PyObject* column, TextColumn& out,
            Utf8 utf8 = Utf8::kCheck, std::string_view choose = "choose one with column=");

  /// A column of cells to write out: an Arrow column of integers, or any text column as
  /// `text` reads it (a table or stream of one column, or a sequence of str and None). Its
  /// text is copied as it is, so it is not checked as UTF-8.
  bool cells(PyObject* source, std::string_view what, FieldColumn& out) {
    return read_column(source, what, Holds::kTextOrInteger, out, Utf8::kUnchecked);
  }

  /// The columns named `names` of a table-shaped `source`: an Arrow table or stream, or a
  /// mapping of names to columns (Arrow columns or sequences; None for an absent one).
  /// Each is read as `holds` says; one the table lacks stays absent. With `all`, a
  /// `required` column that is absent fails, and so does one holding a null unless
  /// `nullable` says its nulls read as empty. `is_table` is false, and nothing read, when
  /// `source` is a sequence instead (of records, for the caller).
  bool table(PyObject* source, std::string_view what, std::span<const std::string_view> names,
             std::span<const Holds> holds, std::span<const bool> required,
             std::span<const bool> nullable, bool all, std::span<FieldColumn> out,
             std::int64_t& rows, bool& is_table);

  /// The records of R in `source`: the columns of a table (see `table`), or the elements
  /// of a sequence, each a mapping or an array of the fields in declared order. Records
  /// declared beside R (`beside`) are read from the same rows, in the same one pass over
  /// a stream: their columns from the same table, their fields from the same mappings
  /// (an array holds R's fields alone, so they take their defaults there).
  template <record::RecordType R, record::RecordType... Beside>
  bool records(PyObject* source, std::string_view what, Rows rows, RecordInput<R>& out,
               RecordInput<Beside>&... beside);

  /// Keeps `value` alive as long as the inputs, for views into it.
  template <class T>
  T& keep(T value) {
    auto held = std::make_shared<T>(std::move(value));
    T& ref = *held;
    kept_.push_back(std::move(held));
    return ref;
  }

  /// Raises the exception a reading failure stands for; returns false.
  static bool raise(const ReadFailure& failure);

 private:
  bool import(PyObject* source, std::string_view what, Imported*& out);
  bool column_of(Imported& in, std::int64_t index, std::string_view label, Holds holds,
                 FieldColumn& out, Utf8 utf8 = Utf8::kCheck);
  bool read_column(PyObject* source, std::string_view label, Holds holds, FieldColumn& out,
                   Utf8 utf8 = Utf8::kCheck);
  bool encode_texts(PyObject* sequence, std::string_view what, TextColumn& out);
  bool encode_numbers(PyObject* sequence, std::string_view what, NumberColumn& out);

  std::vector<std::unique_ptr<Imported>> imported_;
  std::deque<TextColumn> texts_;
  std::deque<NumberColumn> numbers_;
  std::vector<std::shared_ptr<void>> kept_;
  Store store_;
};

namespace detail {

/// Whether `object` is a list or a tuple: a record given as the array of its fields.
bool is_array(PyObject* object);

/// Decodes a record from the array of its field values in declared order, as the JSON
/// form reads its positional records: a required field cut off from the end fails.
template <record::RecordType R>
bool decode_positional(py::Decoder& d, PyObject* array, R& out) {
  constexpr std::size_t kCount = record::kFieldCount<R>;
  // A copy, for the reasons RecordInput::sequence gives.
  auto fields = py::PyRef::steal(PySequence_Tuple(array));
  if (!fields) return d.fail_exception();
  auto size = static_cast<std::size_t>(PyTuple_Size(fields.get()));
  if (size > kCount) {
    return d.fail(DecodeFault::kInvalidLength, std::to_string(size), record::positional<R>());
  }
  for (std::size_t i = 0; i < kCount; ++i) {
    if (i >= size) {
      if (record::kPresence<R>[i] != record::Presence::kRequired) continue;
      return d.fail(DecodeFault::kInvalidLength, std::to_string(size), record::positional<R>());
    }
    auto value = py::PyRef::borrow(PyTuple_GetItem(fields.get(), static_cast<Py_ssize_t>(i)));
    bool decoded = record::with_field<R>(
        i, [&](const auto& field) { return py::decode_value(d, value.get(), out.*field.member); });
    if (!decoded) return d.failure().in_field(record::kFieldNames<R>[i]);
  }
  return true;
}

}  // namespace detail

namespace detail {

/// Decodes one element of a sequence of records as R: a mapping, or an array of R's
/// fields; `positional` false reads a mapping only, an array giving R's defaults.
template <record::RecordType R>
bool decode_element(py::Decoder& d, PyObject* element, bool positional, R& out) {
  if (py::detail::is_mapping(element)) return py::decode_record(d, element, out);
  if (is_array(element)) return !positional || decode_positional(d, element, out);
  d.fail_type(element, "Mapping");
  return false;
}

/// The failure of element `i` of a sequence named `what`, as its message names it.
std::string element_failure(const DecodeFailure& failure, std::string_view what, Py_ssize_t i);

}  // namespace detail

template <record::RecordType R, record::RecordType... Beside>
bool Inputs::records(PyObject* source, std::string_view what, Rows rows, RecordInput<R>& out,
                     RecordInput<Beside>&... beside) {
  // The fields of R, then of each record beside it, as one row of columns.
  constexpr std::size_t kCount = record::kFieldCount<R> + (record::kFieldCount<Beside> + ... + 0);
  std::array<std::string_view, kCount> names{};
  std::array<Holds, kCount> holds{};
  std::array<bool, kCount> required{};
  std::array<bool, kCount> nullable{};
  std::array<FieldColumn, kCount> fields{};
  std::size_t at = 0;
  auto lay_out = [&]<record::RecordType T>(const RecordInput<T>&) {
    for (std::size_t i = 0; i < record::kFieldCount<T>; ++i, ++at) {
      names[at] = record::kFieldNames<T>[i];
      holds[at] = kHolds<T>[i];
      required[at] = record::kPresence<T>[i] == record::Presence::kRequired;
      nullable[at] = kNullReadsEmpty<T>[i];
    }
  };
  lay_out(out);
  (lay_out(beside), ...);
  bool is_table = false;
  std::int64_t count = 0;
  if (!table(source, what, names, holds, required, nullable, rows == Rows::kAll, fields, count,
             is_table)) {
    return false;
  }
  at = 0;
  auto hand_out = [&]<record::RecordType T>(RecordInput<T>& in) {
    in.by_columns = is_table;
    in.columns.rows = count;
    for (FieldColumn& field : in.columns.fields) field = fields[at++];
  };
  hand_out(out);
  (hand_out(beside), ...);
  if (is_table) return true;
  // A sequence of records: each element through the object form, as the module reads
  // the records of a request, from a copy of the sequence (see `sequence`).
  out.sequence = py::PyRef::steal(PySequence_Tuple(source));
  if (!out.sequence) return false;
  const Py_ssize_t size = PyTuple_Size(out.sequence.get());
  for (Py_ssize_t i = 0; i < size; ++i) {
    auto element = py::PyRef::borrow(PyTuple_GetItem(out.sequence.get(), i));
    bool positional = true;
    auto decode = [&]<record::RecordType T>(RecordInput<T>& in) {
      py::Decoder d;
      T record{};
      bool decoded = detail::decode_element(d, element.get(), positional, record);
      positional = false;
      if (decoded) {
        in.elements.emplace_back(std::move(record));
        return true;
      }
      if (d.restore_raised()) return false;  // no fault of the row: the call stops
      if (rows == Rows::kAll) {
        return raise({ReadFailure::Kind::kValue, detail::element_failure(d.failure(), what, i)});
      }
      in.elements.emplace_back(d.take_failure());
      return true;
    };
    if (!decode(out) || !(decode(beside) && ...)) return false;
  }
  return true;
}

}  // namespace quorvane::columns
