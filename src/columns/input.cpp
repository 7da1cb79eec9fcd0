// columns/input.cpp: importing Arrow producers through their PyCapsules, encoding plain
// Python sequences, and finding the columns an argument holds.
#include "columns/input.h"

#include <cstring>
#include <string_view>

#include "py/failure.h"
#include "py/ref.h"
#include "py/runtime.h"

namespace quorvane::columns {
namespace {

using py::PyRef;

// A message may hold any bytes a producer gave: what is not UTF-8 becomes U+FFFD.
void raise_text(PyObject* type, const std::string& message) {
  auto text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

bool type_error(const std::string& message) {
  raise_text(PyExc_TypeError, message);
  return false;
}

bool value_error(const std::string& message) {
  raise_text(PyExc_ValueError, message);
  return false;
}

// Whether `object` has the attribute; a lookup that raises counts as no.
bool has_attribute(PyObject* object, py::Name which) {
  PyObject* name = py::name(which);
  if (name == nullptr) {
    PyErr_Clear();
    return false;
  }
  return PyObject_HasAttr(object, name) == 1;
}

// object.<which>(), a new reference or null with an exception set.
PyRef call_method(PyObject* object, py::Name which) {
  PyObject* name = py::name(which);
  return PyRef::steal(name == nullptr ? nullptr
                                      : PyObject_CallMethodObjArgs(object, name, nullptr));
}

// Moves the structure out of a producer's capsule: the capsule's destructor then finds it
// released and leaves it alone, and from here on we release it, once.
template <class T>
bool take_capsule(PyObject* capsule, const char* name, std::string_view what, Owned<T>& out) {
  auto* pointer = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (pointer == nullptr) return false;
  if (pointer->release == nullptr) {
    return value_error(cat(what, ": the producer's ", name, " was already released"));
  }
  out.take(pointer);
  return true;
}

/// Puts the pending exception aside for its lifetime, so that producer callbacks run
/// with none pending, then sets it again.
class ExceptionAside {
 public:
  ExceptionAside() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
  ExceptionAside(const ExceptionAside&) = delete;
  ExceptionAside& operator=(const ExceptionAside&) = delete;
  ~ExceptionAside() { PyErr_Restore(type_, value_, traceback_); }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// The shapes an argument may take, decided once per argument.
enum class Shape { kProducer, kMapping, kSequence, kOther };

Shape shape_of(PyObject* object) {
  if (is_arrow_producer(object)) return Shape::kProducer;
  if (py::detail::is_mapping(object)) return Shape::kMapping;
  if (PySequence_Check(object) == 1 && !PyUnicode_Check(object) && !PyBytes_Check(object) &&
      !PyByteArray_Check(object)) {
    return Shape::kSequence;
  }
  return Shape::kOther;
}

std::string quoted_keys(PyObject* mapping) {
  auto keys = PyRef::steal(PyMapping_Keys(mapping));
  if (!keys) {
    PyErr_Clear();
    return {};
  }
  std::string out;
  for (Py_ssize_t i = 0; i < PyList_Size(keys.get()); ++i) {
    PyObject* key = PyList_GetItem(keys.get(), i);  // borrowed from the list we hold
    out += cat(i > 0 ? ", '" : "'", PyUnicode_Check(key) ? py::lossy_utf8(key) : "?", "'");
  }
  return out;
}

// "no column 'name' (the columns are 'a', 'b')", given the listing of a table's columns.
std::string no_column(std::string_view what, std::string_view name, const std::string& listed) {
  return cat(
      what, ": no column '", name, "' (",
      listed.empty() ? std::string("the table has no columns") : cat("the columns are ", listed),
      ")");
}

// mapping[name] as a new reference; null without an exception when it is absent or None.
bool item_of(PyObject* mapping, std::string_view name, PyRef& out) {
  auto key =
      PyRef::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  if (!key) return false;
  out = PyRef::steal(PyObject_GetItem(mapping, key.get()));
  if (!out) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
    PyErr_Clear();
  } else if (out.get() == Py_None) {
    out.reset();
  }
  return true;
}

// Where `name` is among the keys of `mapping`, or -1.
std::int64_t key_position(PyObject* keys, std::string_view name) {
  for (Py_ssize_t i = 0; i < PyList_Size(keys); ++i) {
    PyObject* key = PyList_GetItem(keys, i);  // borrowed from the list the caller holds
    if (PyUnicode_Check(key) && py::lossy_utf8(key) == name) return i;
  }
  return -1;
}

void set_valid(std::vector<std::uint8_t>& bits, std::size_t row) {
  bits[row >> 3] = static_cast<std::uint8_t>(bits[row >> 3] | (1U << (row & 7)));
}

std::int64_t first_null(const NumberColumn& column) {
  std::int64_t base = 0;
  for (const NumberChunk& c : column.chunks) {
    for (std::int64_t r = 0; r < c.length; ++r) {
      if (c.is_null(r)) return base + r;
    }
    base += c.length;
  }
  return -1;
}

// Whether the table's column `name` is the only one of that name: reading one of two
// columns an Arrow schema names alike would silently leave the other out.
bool only_one_named(const Imported& in, std::string_view name, std::string_view what) {
  const std::int64_t count = in.columns_named(name);
  if (count < 2) return true;
  return value_error(cat(what, ": the table has ", std::to_string(count), " columns named '", name,
                         "'; rename all but one"));
}

// A sequence of str, copied once into one UTF-8 buffer with 64-bit offsets.
struct EncodedTexts {
  std::string data;
  std::vector<std::int64_t> offsets{0};
  std::vector<std::uint8_t> validity;
};

// A sequence of numbers: 64-bit integers when every number is an int that fits, doubles
// otherwise.
struct EncodedNumbers {
  std::vector<std::int64_t> integers;
  std::vector<double> doubles;
  std::vector<std::uint8_t> validity;
};

}  // namespace

bool is_arrow_producer(PyObject* object) {
  return has_attribute(object, py::Name::kArrowCStream) ||
         has_attribute(object, py::Name::kArrowCArray);
}

Inputs::~Inputs() {
  ExceptionAside aside;
  imported_.clear();
}

bool Inputs::raise(const ReadFailure& failure) {
  PyObject* type = failure.kind == ReadFailure::Kind::kType     ? PyExc_TypeError
                   : failure.kind == ReadFailure::Kind::kMemory ? PyExc_MemoryError
                                                                : PyExc_ValueError;
  raise_text(type, failure.message);
  return false;
}

bool Inputs::import(PyObject* source, std::string_view what, Imported*& out) {
  // Kept in imported_ from the start, so that what a failed import took is released by
  // the destructor, with the failure's exception put aside.
  out = imported_.emplace_back(std::make_unique<Imported>()).get();
  if (has_attribute(source, py::Name::kArrowCStream)) {
    auto capsule = call_method(source, py::Name::kArrowCStream);
    if (!capsule) return false;
    OwnedStream stream;
    if (!take_capsule(capsule.get(), "arrow_array_stream", what, stream)) return false;
    capsule.reset();
    Status failed = read_stream(*stream.get(), *out, what);
    if (!failed) return true;
    // A producer written in Python that raised left its exception pending: it goes back
    // to the caller as it was raised, once the stream is released.
    if (PyErr_Occurred() != nullptr) {
      ExceptionAside aside;
      stream.reset();
      return false;
    }
    stream.reset();
    return raise(*failed);
  }
  auto pair = call_method(source, py::Name::kArrowCArray);
  if (!pair) return false;
  if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
    return type_error(cat(what, ": __arrow_c_array__ did not return a pair of capsules"));
  }
  auto array = std::make_unique<OwnedArray>();
  if (!take_capsule(PyTuple_GetItem(pair.get(), 0), "arrow_schema", what, out->schema) ||
      !take_capsule(PyTuple_GetItem(pair.get(), 1), "arrow_array", what, *array)) {
    return false;
  }
  out->arrays.push_back(std::move(array));
  return true;
}

bool Inputs::column_of(Imported& in, std::int64_t index, std::string_view label, Holds holds,
                       FieldColumn& out, Utf8 utf8) {
  Read<ColumnArrays> arrays = column_arrays(in, index, label);
  if (!arrays) return raise(arrays.error());
  if (holds == Holds::kTextOrInteger) {
    holds = holds_integers(arrays.value()) ? Holds::kNumber : Holds::kText;
  }
  if (holds == Holds::kText || holds == Holds::kMonth) {
    Read<TextColumn> column = holds == Holds::kMonth
                                  ? read_months(arrays.value(), label, store_)
                                  : read_texts(arrays.value(), label, store_, utf8);
    if (!column) return raise(column.error());
    out.text = &texts_.emplace_back(std::move(column).value());
  } else {
    Read<NumberColumn> column = read_numbers(arrays.value(), label, store_);
    if (!column) return raise(column.error());
    out.number = &numbers_.emplace_back(std::move(column).value());
  }
  return true;
}

bool Inputs::read_column(PyObject* source, std::string_view label, Holds holds, FieldColumn& out,
                         Utf8 utf8) {
  switch (shape_of(source)) {
    case Shape::kProducer: {
      Imported* in = nullptr;
      if (!import(source, label, in)) return false;
      std::int64_t index = -1;
      if (in->is_table()) {
        if (in->schema->n_children != 1) {
          return type_error(cat(label, ": expected one column, got a table of ",
                                std::to_string(in->schema->n_children), " columns (",
                                in->column_names(), ")"));
        }
        index = 0;
      }
      return column_of(*in, index, label, holds, out, utf8);
    }
    case Shape::kSequence:
      if (holds != Holds::kNumber) {
        TextColumn& column = texts_.emplace_back();
        out.text = &column;
        return encode_texts(source, label, column);
      } else {
        NumberColumn& column = numbers_.emplace_back();
        out.number = &column;
        return encode_numbers(source, label, column);
      }
    case Shape::kMapping:
    case Shape::kOther:
      break;
  }
  return type_error(cat(label, ": expected an Arrow column or a sequence of ",
                        holds == Holds::kNumber ? "numbers" : "str", ", got '",
                        py::type_name(source), "'"));
}

bool Inputs::text(PyObject* source, std::string_view what, PyObject* column, TextColumn& out,
                  Utf8 utf8, std::string_view choose) {
  std::string name = column != nullptr ? py::lossy_utf8(column) : std::string();
  std::string label = column != nullptr ? cat(what, ": column '", name, "'") : std::string(what);
  FieldColumn field;
  switch (shape_of(source)) {
    case Shape::kProducer: {
      Imported* in = nullptr;
      if (!import(source, what, in)) return false;
      std::int64_t index = -1;
      if (column != nullptr) {
        if (!in->is_table()) {
          return type_error(cat(what, ": column='", name, "' needs a table, got a column of ",
                                type_name(in->schema.get())));
        }
        index = in->column_index(name);
        if (index < 0) {
          return value_error(no_column(what, name, in->column_names()));
        }
        if (!only_one_named(*in, name, what)) return false;
      } else if (in->is_table()) {
        if (in->schema->n_children != 1) {
          return type_error(cat(what, ": expected one column, got a table of ",
                                std::to_string(in->schema->n_children), " columns (",
                                in->column_names(), "); ", choose));
        }
        index = 0;
      }
      if (!column_of(*in, index, label, Holds::kText, field, utf8)) return false;
      break;
    }
    case Shape::kMapping: {
      PyRef value;
      if (column != nullptr) {
        if (!item_of(source, name, value)) return false;
        if (!value) {
          return value_error(no_column(what, name, quoted_keys(source)));
        }
      } else {
        if (PyMapping_Size(source) != 1) {
          if (PyErr_Occurred() != nullptr) return false;
          return type_error(cat(what, ": expected one column, got a mapping of columns (",
                                quoted_keys(source), "); ", choose));
        }
        auto values = PyRef::steal(PyMapping_Values(source));
        if (!values) return false;
        value = PyRef::borrow(PyList_GetItem(values.get(), 0));
      }
      if (!read_column(value.get(), label, Holds::kText, field, utf8)) return false;
      break;
    }
    case Shape::kSequence:
      if (column != nullptr) {
        return type_error(
            cat(what, ": column='", name, "' needs a table, got '", py::type_name(source), "'"));
      }
      return encode_texts(source, what, out);
    case Shape::kOther:
      return type_error(cat(what,
                            ": expected a column of strings (an Arrow column or table, "
                            "or a sequence of str), got '",
                            py::type_name(source), "'"));
  }
  out = *field.text;
  return true;
}

bool Inputs::table(PyObject* source, std::string_view what, std::span<const std::string_view> names,
                   std::span<const Holds> holds, std::span<const bool> required,
                   std::span<const bool> nullable, bool all, std::span<FieldColumn> out,
                   std::int64_t& rows, bool& is_table) {
  is_table = true;
  Shape shape = shape_of(source);
  if (shape == Shape::kSequence) {
    is_table = false;
    return true;
  }
  if (shape == Shape::kOther) {
    return type_error(cat(what,
                          ": expected a table (an Arrow table or stream, or a mapping of "
                          "columns) or a sequence of records, got '",
                          py::type_name(source), "'"));
  }
  Imported* in = nullptr;
  PyRef keys;  // a mapping's
  if (shape == Shape::kProducer) {
    if (!import(source, what, in)) return false;
    if (!in->is_table()) {
      return type_error(
          cat(what, ": expected a table, got a column of ", type_name(in->schema.get())));
    }
    rows = in->rows();
  } else {
    keys = PyRef::steal(PyMapping_Keys(source));
    if (!keys) return false;
    rows = -1;
  }
  std::string_view rows_from;  // the column that set `rows`, for a mapping
  for (std::size_t f = 0; f < names.size(); ++f) {
    std::string label = cat(what, ": column '", names[f], "'");
    FieldColumn& field = out[f];
    if (in != nullptr) {
      field.position = in->column_index(names[f]);
      if (field.position >= 0 && (!only_one_named(*in, names[f], what) ||
                                  !column_of(*in, field.position, label, holds[f], field))) {
        return false;
      }
    } else {
      PyRef value;
      if (!item_of(source, names[f], value)) return false;
      if (value) {
        field.position = key_position(keys.get(), names[f]);
        if (!read_column(value.get(), label, holds[f], field)) return false;
        std::int64_t size = field.text != nullptr ? field.text->size() : field.number->size();
        if (rows >= 0 && size != rows) {
          return value_error(cat(label, ": ", std::to_string(size), " rows, but column '",
                                 rows_from, "' has ", std::to_string(rows)));
        }
        rows = size;
        rows_from = names[f];
      }
    }
    if (!all || !required[f]) continue;
    if (!field.present()) {
      return value_error(
          no_column(what, names[f], in != nullptr ? in->column_names() : quoted_keys(source)));
    }
    if (nullable[f]) continue;
    std::int64_t null =
        field.text != nullptr ? field.text->first_null() : first_null(*field.number);
    if (null >= 0) return value_error(cat(label, ": null in row ", std::to_string(null)));
  }
  if (rows < 0) rows = 0;
  return true;
}

bool Inputs::encode_texts(PyObject* sequence, std::string_view what, TextColumn& out) {
  // A list or tuple is read in place (reading a str runs no Python code), any other
  // sequence as list() copies it, by iterating: its __len__ is only a hint.
  const bool in_place = PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence);
  auto items = in_place ? PyRef::borrow(sequence) : PyRef::steal(PySequence_Tuple(sequence));
  if (!items) return false;
  sequence = items.get();
  Py_ssize_t size = PySequence_Size(sequence);
  if (size < 0) return false;
  auto& encoded = keep(EncodedTexts{});
  encoded.offsets.reserve(static_cast<std::size_t>(size) + 1);
  encoded.validity.assign((static_cast<std::size_t>(size) + 7) / 8, 0);
  bool nulls = false;
  for (Py_ssize_t i = 0; i < size; ++i) {
    auto item = PyRef::steal(PySequence_GetItem(sequence, i));
    if (!item) return false;
    if (item.get() == Py_None) {
      nulls = true;
    } else if (PyUnicode_Check(item.get())) {
      auto bytes = PyRef::steal(PyUnicode_AsUTF8String(item.get()));
      if (!bytes) {
        // A str holding a lone surrogate (from surrogateescape decoding, or built by hand)
        // has no UTF-8 form: the interpreter's error names neither the column nor the item.
        if (py::exception_passes()) return false;
        return value_error(
            cat(what, ": item ", std::to_string(i), ": ", py::take_exception_text()));
      }
      char* data;
      Py_ssize_t length;
      if (PyBytes_AsStringAndSize(bytes.get(), &data, &length) < 0) return false;
      encoded.data.append(data, static_cast<std::size_t>(length));
      set_valid(encoded.validity, static_cast<std::size_t>(i));
    } else {
      return type_error(cat(what, ": item ", std::to_string(i), " is a '",
                            py::type_name(item.get()), "', not a str"));
    }
    encoded.offsets.push_back(static_cast<std::int64_t>(encoded.data.size()));
  }
  TextChunk chunk;
  chunk.layout = TextLayout::kOffsets64;
  chunk.length = size;
  chunk.validity = nulls ? encoded.validity.data() : nullptr;
  chunk.values = encoded.offsets.data();
  chunk.data = encoded.data.data();
  if (size > 0) out.chunks.push_back(chunk);
  return true;
}

bool Inputs::encode_numbers(PyObject* sequence, std::string_view what, NumberColumn& out) {
  // Copied as list() copies it (see encode_texts), even a list: reading a number may run
  // Python code (__index__, __float__) that changes the sequence.
  auto items = PyRef::steal(PySequence_Tuple(sequence));
  if (!items) return false;
  sequence = items.get();
  Py_ssize_t size = PySequence_Size(sequence);
  if (size < 0) return false;
  auto& encoded = keep(EncodedNumbers{});
  encoded.integers.assign(static_cast<std::size_t>(size), 0);
  encoded.doubles.assign(static_cast<std::size_t>(size), 0.0);
  encoded.validity.assign((static_cast<std::size_t>(size) + 7) / 8, 0);
  bool nulls = false;
  bool integers = true;
  for (Py_ssize_t i = 0; i < size; ++i) {
    auto item = PyRef::steal(PySequence_GetItem(sequence, i));
    if (!item) return false;
    auto at = static_cast<std::size_t>(i);
    if (item.get() == Py_None) {
      nulls = true;
      continue;
    }
    // Numbers as the module reads a request's: an integer is anything with __index__
    // (numpy's integers among them), any other number anything with __float__ (numpy's
    // floats, and money as Python keeps it, a Decimal, read as the nearest double, as a
    // decimal column of Arrow is).
    // An integer's double is its value's, whatever its type's __float__ says, so that it
    // reads the same whether the column's other numbers are all integers or not.
    PyRef index;
    if (PyLong_Check(item.get()) || PyIndex_Check(item.get())) {
      index = PyRef::steal(PyNumber_Index(item.get()));
      if (!index) return false;
      int overflow = 0;
      long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
      if (value == -1 && PyErr_Occurred() != nullptr) return false;
      encoded.integers[at] = value;
      integers = integers && overflow == 0;
    } else if (PyFloat_Check(item.get()) || PyObject_HasAttrString(item.get(), "__float__")) {
      integers = false;
    } else {
      return type_error(cat(what, ": item ", std::to_string(i), " is a '",
                            py::type_name(item.get()), "', not a number"));
    }
    double value = index ? PyLong_AsDouble(index.get()) : PyFloat_AsDouble(item.get());
    if (value == -1.0 && PyErr_Occurred() != nullptr) {  // an int past a double, Decimal('sNaN')
      if (py::exception_passes()) return false;
      return value_error(cat(what, ": item ", std::to_string(i), ": ", py::take_exception_text()));
    }
    encoded.doubles[at] = value;
    set_valid(encoded.validity, at);
  }
  NumberChunk chunk;
  chunk.type = integers ? NumberType::kI64 : NumberType::kF64;
  chunk.length = size;
  chunk.validity = nulls ? encoded.validity.data() : nullptr;
  chunk.values = integers ? static_cast<const void*>(encoded.integers.data())
                          : static_cast<const void*>(encoded.doubles.data());
  if (size > 0) out.chunks.push_back(chunk);
  return true;
}

namespace detail {

bool is_array(PyObject* object) { return PyList_Check(object) || PyTuple_Check(object); }

std::string element_failure(const DecodeFailure& failure, std::string_view what, Py_ssize_t i) {
  return cat(failure.path.display(cat(what, "[", std::to_string(i), "]")), ": ", failure.message());
}

}  // namespace detail

}  // namespace quorvane::columns
