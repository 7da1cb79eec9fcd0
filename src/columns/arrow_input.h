// columns/arrow_input.h: reading the caller's columns (Arrow producers or plain Python
// sequences) into validated views, under the interpreter lock.
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "columns/arrow.h"
#include "columns/column.h"

namespace quorvane::columns {

/// Whether `object` exports the Arrow PyCapsule interface.
bool is_arrow_producer(PyObject* object);

/// An imported producer: its schema and every array it gave, each owned and released
/// exactly once, when the Inputs holding it go.
struct Imported {
  OwnedSchema schema;
  std::vector<std::unique_ptr<OwnedArray>> arrays;

  /// Rows over all arrays.
  std::int64_t rows() const noexcept {
    std::int64_t n = 0;
    for (const auto& array : arrays) n += (*array)->length;
    return n;
  }
};

/// Everything the columns of one call point into: imported producers and the encoded
/// copies of plain Python sequences. Columns read through it stay valid, and safe to read
/// without the interpreter lock, for as long as it lives.
///
/// Every reader returns false with a Python exception set on failure: TypeError for a
/// column of the wrong kind (naming its Arrow format), ValueError for a malformed array
/// (found by full validation before any of its bytes is read), and the producer's own
/// exception when one of its callbacks raised.
class Inputs {
 public:
  Inputs() = default;
  Inputs(const Inputs&) = delete;
  Inputs& operator=(const Inputs&) = delete;
  /// Releases every producer structure, with any pending exception put aside meanwhile:
  /// a producer written in Python runs code in its release callbacks.
  ~Inputs();

  /// A string column from `source`: a producer of strings (utf8, large_utf8,
  /// string_view) or of a table with one column, a `(table, name)` pair naming a table's
  /// column, or a sequence of str and None. `what` names the argument in messages.
  bool text(PyObject* source, const std::string& what, TextColumn& out);

  /// A table producer, imported whole; its columns are then read by name.
  bool table(PyObject* source, const std::string& what, Imported*& out);

  /// Column `name` of an imported table as strings or numbers; `found` is false (and
  /// the call succeeds) when the table has no such column.
  bool text_field(Imported& table, const std::string& name, TextColumn& out, bool& found);
  bool number_field(Imported& table, const std::string& name, NumberColumn& out, bool& found);

  /// A number column from a plain sequence of int, float and None.
  bool numbers(PyObject* sequence, const std::string& what, NumberColumn& out);

 private:
  struct EncodedTexts;
  struct EncodedNumbers;

  bool import(PyObject* source, const std::string& what, Imported*& out);
  bool encode_texts(PyObject* sequence, const std::string& what, TextColumn& out);

  std::vector<std::unique_ptr<Imported>> imported_;
  std::vector<std::shared_ptr<void>> encoded_;
};

}  // namespace quorvane::columns
