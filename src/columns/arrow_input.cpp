// columns/arrow_input.cpp: importing Arrow producers through their PyCapsules,
// validating every array in full, and encoding plain Python sequences.
#include "columns/arrow_input.h"

#include <cerrno>  // ENOMEM
#include <cstring>
#include <string_view>

#include "cat.h"
#include "py/failure.h"
#include "py/ref.h"
#include "py/runtime.h"

namespace quorvane::columns {
namespace {

using py::PyRef;

// A producer's text may be any bytes: what is not UTF-8 becomes U+FFFD.
void raise(PyObject* type, const std::string& message) {
  auto text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
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
bool take_capsule(PyObject* capsule, const char* name, const std::string& what, Owned<T>& out) {
  auto* pointer = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (pointer == nullptr) return false;
  if (pointer->release == nullptr) {
    raise(PyExc_ValueError, cat(what, ": the producer's ", name, " was already released"));
    return false;
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

// The failure of a stream callback: the stream is released, then the exception set. A
// producer written in Python that raised left its exception pending: it goes back to
// the caller as it was raised. Otherwise the producer's own text, as MemoryError when it
// ran out of memory.
bool stream_failure(OwnedStream& stream, int code, const std::string& what) {
  if (PyErr_Occurred() == nullptr) {
    const char* text = stream->get_last_error(stream.get());
    std::string message = cat(what, ": the Arrow stream failed (", std::to_string(code), ")",
                              text != nullptr ? ": " : "", text != nullptr ? text : "");
    stream.reset();
    raise(code == ENOMEM ? PyExc_MemoryError : PyExc_ValueError, message);
    return false;
  }
  ExceptionAside aside;
  stream.reset();
  return false;
}

std::string format_of(const ArrowSchema* schema) {
  return schema->format != nullptr ? schema->format : "?";
}

// A column of an imported producer: its schema, and per array the column's array with
// the rows the table's array covers (a column of a sliced table starts at the table's
// offset into it).
struct ColumnArrays {
  const ArrowSchema* schema = nullptr;
  struct Part {
    const ArrowArray* array;
    std::int64_t start;   // added to the column's own offset
    std::int64_t length;  // rows
  };
  std::vector<Part> parts;
};

bool is_struct(const ArrowSchema* schema) {
  return schema->format != nullptr && std::strcmp(schema->format, "+s") == 0;
}

// Finds column `name` (or, with an empty name, the table's only column) of a table, or
// takes the producer's arrays as the column when it is not a table. `found` is false when
// a named column is absent.
bool select_column(const Imported& in, const std::string& name, const std::string& what,
                   ColumnArrays& out, bool& found) {
  found = true;
  const ArrowSchema* schema = in.schema.get();
  if (!is_struct(schema)) {
    if (!name.empty()) {
      raise(PyExc_TypeError, cat(what, ": expected a table with a column '", name,
                                 "', got Arrow format '", format_of(schema), "'"));
      return false;
    }
    out.schema = schema;
    for (const auto& array : in.arrays) out.parts.push_back({array->get(), 0, (*array)->length});
    return true;
  }
  std::int64_t index = -1;
  if (name.empty()) {
    if (schema->n_children != 1) {
      raise(PyExc_TypeError, cat(what, ": expected one column, got a table of ",
                                 std::to_string(schema->n_children), " columns"));
      return false;
    }
    index = 0;
  } else {
    for (std::int64_t i = 0; i < schema->n_children; ++i) {
      const char* child = schema->children[i]->name;
      if (child != nullptr && name == child) {
        index = i;
        break;
      }
    }
    if (index < 0) {
      found = false;
      return true;
    }
  }
  out.schema = schema->children[index];
  for (const auto& owned : in.arrays) {
    const ArrowArray* table = owned->get();
    if (table->n_children != schema->n_children || table->children == nullptr ||
        table->children[index] == nullptr || table->offset < 0 || table->length < 0) {
      raise(PyExc_ValueError,
            cat(what, ": malformed Arrow table: its arrays do not match its schema"));
      return false;
    }
    if (table->null_count != 0 && table->buffers != nullptr && table->n_buffers > 0 &&
        table->buffers[0] != nullptr) {
      raise(PyExc_ValueError, cat(what, ": a table with null rows is not supported"));
      return false;
    }
    out.parts.push_back({table->children[index], table->offset, table->length});
  }
  return true;
}

// Checks one array of a column in full (buffer counts and sizes, offsets in order and
// inside the data, views inside their buffers) before anything reads it.
bool validate(const ArrowSchema* schema, const ColumnArrays::Part& part, const std::string& what,
              OwnedView& view) {
  ArrowError error{};
  if (ArrowArrayViewInitFromSchema(view.get(), schema, &error) != NANOARROW_OK) {
    raise(PyExc_TypeError,
          cat(what, ": unsupported Arrow format '", format_of(schema), "': ", error.message));
    return false;
  }
  if (ArrowArrayViewSetArray(view.get(), part.array, &error) != NANOARROW_OK ||
      ArrowArrayViewValidate(view.get(), NANOARROW_VALIDATION_LEVEL_FULL, &error) != NANOARROW_OK) {
    raise(PyExc_ValueError, cat(what, ": malformed Arrow array: ", error.message));
    return false;
  }
  // start and length are each at least 0: compared without a sum that could overflow.
  if (part.start > view.get()->length || part.length > view.get()->length - part.start) {
    raise(PyExc_ValueError,
          cat(what, ": malformed Arrow table: a column is shorter than its table"));
    return false;
  }
  return true;
}

const std::uint8_t* validity_of(const ArrowArrayView* view) {
  return view->null_count == 0 ? nullptr : view->buffer_views[0].data.as_uint8;
}

bool text_layout(const ArrowSchema* schema, const std::string& what, TextLayout& layout) {
  ArrowSchemaView type{};
  ArrowError error{};
  if (ArrowSchemaViewInit(&type, schema, &error) == NANOARROW_OK) {
    switch (type.type) {
      case NANOARROW_TYPE_STRING:
        layout = TextLayout::kOffsets32;
        return true;
      case NANOARROW_TYPE_LARGE_STRING:
        layout = TextLayout::kOffsets64;
        return true;
      case NANOARROW_TYPE_STRING_VIEW:
        layout = TextLayout::kViews;
        return true;
      default:
        break;
    }
  }
  raise(PyExc_TypeError,
        cat(what,
            ": expected a column of strings (utf8, large_utf8 or string_view), got Arrow format '",
            format_of(schema), "'"));
  return false;
}

bool number_type(const ArrowSchema* schema, const std::string& what, NumberType& out) {
  ArrowSchemaView type{};
  ArrowError error{};
  if (ArrowSchemaViewInit(&type, schema, &error) == NANOARROW_OK) {
    switch (type.type) {
      case NANOARROW_TYPE_INT8:
        out = NumberType::kI8;
        return true;
      case NANOARROW_TYPE_INT16:
        out = NumberType::kI16;
        return true;
      case NANOARROW_TYPE_INT32:
        out = NumberType::kI32;
        return true;
      case NANOARROW_TYPE_INT64:
        out = NumberType::kI64;
        return true;
      case NANOARROW_TYPE_UINT8:
        out = NumberType::kU8;
        return true;
      case NANOARROW_TYPE_UINT16:
        out = NumberType::kU16;
        return true;
      case NANOARROW_TYPE_UINT32:
        out = NumberType::kU32;
        return true;
      case NANOARROW_TYPE_UINT64:
        out = NumberType::kU64;
        return true;
      case NANOARROW_TYPE_FLOAT:
        out = NumberType::kF32;
        return true;
      case NANOARROW_TYPE_DOUBLE:
        out = NumberType::kF64;
        return true;
      default:
        break;
    }
  }
  raise(PyExc_TypeError,
        cat(what, ": expected a column of numbers, got Arrow format '", format_of(schema), "'"));
  return false;
}

// nanoarrow's full validation does not look inside string views: each view of a
// non-null row that points into a variadic buffer must lie inside that buffer.
bool check_views(const ArrowArrayView* v, const ColumnArrays::Part& part, const std::string& what) {
  const char* views = v->buffer_views[1].data.as_char;
  for (std::int64_t row = 0; row < part.length; ++row) {
    std::int64_t i = v->offset + part.start + row;
    if (ArrowArrayViewIsNull(v, part.start + row)) continue;
    auto [size, buffer, at] = ViewFields::of(views + 16 * i);
    bool inside =
        size >= 0 && (size <= 12 || (buffer >= 0 && buffer < v->n_variadic_buffers && at >= 0 &&
                                     std::int64_t{at} + size <= v->variadic_buffer_sizes[buffer] &&
                                     v->variadic_buffers[buffer] != nullptr));
    if (!inside) {
      raise(PyExc_ValueError, cat(what, ": malformed Arrow array: the string view of row ",
                                  std::to_string(part.start + row), " points outside its buffers"));
      return false;
    }
  }
  return true;
}

// Validates each array of a column and makes its chunk: the rows, the validity and the
// first data buffer are common; `fill` adds what the column's kind needs, or fails.
template <class Chunk, class Fill>
bool chunks_of(const ColumnArrays& column, const std::string& what, std::vector<Chunk>& out,
               Fill fill) {
  for (const ColumnArrays::Part& part : column.parts) {
    OwnedView view;
    if (!validate(column.schema, part, what, view)) return false;
    const ArrowArrayView* v = view.get();
    Chunk chunk;
    chunk.offset = v->offset + part.start;
    chunk.length = part.length;
    chunk.validity = validity_of(v);
    if (!fill(v, part, chunk)) return false;
    if (chunk.length > 0) out.push_back(chunk);
  }
  return true;
}

bool text_chunks(const ColumnArrays& column, const std::string& what, TextColumn& out) {
  TextLayout layout;
  if (!text_layout(column.schema, what, layout)) return false;
  return chunks_of(column, what, out.chunks,
                   [&](const ArrowArrayView* v, const ColumnArrays::Part& part, TextChunk& chunk) {
                     chunk.layout = layout;
                     chunk.offsets = v->buffer_views[1].data.data;
                     if (layout != TextLayout::kViews) {
                       chunk.data = v->buffer_views[2].data.as_char;
                       return true;
                     }
                     chunk.variadic = reinterpret_cast<const char* const*>(v->variadic_buffers);
                     return check_views(v, part, what);
                   });
}

bool number_chunks(const ColumnArrays& column, const std::string& what, NumberColumn& out) {
  NumberType type;
  if (!number_type(column.schema, what, type)) return false;
  return chunks_of(column, what, out.chunks,
                   [&](const ArrowArrayView* v, const ColumnArrays::Part&, NumberChunk& chunk) {
                     chunk.type = type;
                     chunk.values = v->buffer_views[1].data.data;
                     return true;
                   });
}

// The bits of a validity bitmap, one per row, set for the rows that are not null.
void set_valid(std::vector<std::uint8_t>& bits, std::size_t row) {
  bits[row >> 3] = static_cast<std::uint8_t>(bits[row >> 3] | (1U << (row & 7)));
}

bool is_plain_sequence(PyObject* object) {
  return PySequence_Check(object) == 1 && !PyUnicode_Check(object) && !PyBytes_Check(object) &&
         !PyByteArray_Check(object);
}

}  // namespace

bool is_arrow_producer(PyObject* object) {
  return has_attribute(object, py::Name::kArrowCStream) ||
         has_attribute(object, py::Name::kArrowCArray);
}

// A sequence of str, copied once into one UTF-8 buffer with 64-bit offsets.
struct Inputs::EncodedTexts {
  std::string data;
  std::vector<std::int64_t> offsets{0};
  std::vector<std::uint8_t> validity;
};

struct Inputs::EncodedNumbers {
  std::vector<double> values;
  std::vector<std::uint8_t> validity;
};

Inputs::~Inputs() {
  ExceptionAside aside;
  imported_.clear();
}

bool Inputs::import(PyObject* source, const std::string& what, Imported*& out) {
  // Kept in imported_ from the start, so that what a failed import took is released by
  // the destructor, with the failure's exception put aside.
  imported_.push_back(std::make_unique<Imported>());
  Imported* imported = imported_.back().get();
  if (has_attribute(source, py::Name::kArrowCStream)) {
    auto capsule = call_method(source, py::Name::kArrowCStream);
    if (!capsule) return false;
    OwnedStream stream;
    if (!take_capsule(capsule.get(), "arrow_array_stream", what, stream)) return false;
    capsule.reset();
    int code = stream->get_schema(stream.get(), imported->schema.get());
    if (code != 0) return stream_failure(stream, code, what);
    for (;;) {
      auto array = std::make_unique<OwnedArray>();
      code = stream->get_next(stream.get(), array->get());
      if (code != 0) return stream_failure(stream, code, what);
      if ((*array)->release == nullptr) break;  // the end of the stream
      imported->arrays.push_back(std::move(array));
    }
  } else if (has_attribute(source, py::Name::kArrowCArray)) {
    auto pair = call_method(source, py::Name::kArrowCArray);
    if (!pair) return false;
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
      raise(PyExc_TypeError, cat(what, ": __arrow_c_array__ did not return a pair of capsules"));
      return false;
    }
    auto array = std::make_unique<OwnedArray>();
    if (!take_capsule(PyTuple_GetItem(pair.get(), 0), "arrow_schema", what, imported->schema) ||
        !take_capsule(PyTuple_GetItem(pair.get(), 1), "arrow_array", what, *array)) {
      return false;
    }
    imported->arrays.push_back(std::move(array));
  } else {
    imported_.pop_back();
    raise(PyExc_TypeError, cat(what, ": expected an Arrow column or table, or a sequence, got '",
                               py::type_name(source), "'"));
    return false;
  }
  out = imported;
  return true;
}

bool Inputs::table(PyObject* source, const std::string& what, Imported*& out) {
  if (!import(source, what, out)) return false;
  if (!is_struct(out->schema.get())) {
    raise(PyExc_TypeError,
          cat(what, ": expected a table, got Arrow format '", format_of(out->schema.get()), "'"));
    return false;
  }
  return true;
}

bool Inputs::text_field(Imported& table, const std::string& name, TextColumn& out, bool& found) {
  ColumnArrays column;
  if (!select_column(table, name, name, column, found)) return false;
  return !found || text_chunks(column, name, out);
}

bool Inputs::number_field(Imported& table, const std::string& name, NumberColumn& out,
                          bool& found) {
  ColumnArrays column;
  if (!select_column(table, name, name, column, found)) return false;
  return !found || number_chunks(column, name, out);
}

bool Inputs::text(PyObject* source, const std::string& what, TextColumn& out) {
  std::string field;
  PyObject* producer = source;  // borrowed from the caller or from the pair
  if (PyTuple_Check(source) && PyTuple_Size(source) == 2 &&
      PyUnicode_Check(PyTuple_GetItem(source, 1))) {
    producer = PyTuple_GetItem(source, 0);
    field = py::lossy_utf8(PyTuple_GetItem(source, 1));
  }
  if (!is_arrow_producer(producer)) {
    if (producer == source && is_plain_sequence(source)) return encode_texts(source, what, out);
    raise(PyExc_TypeError,
          cat(what, ": expected an Arrow column or table, or a sequence of str, got '",
              py::type_name(producer), "'"));
    return false;
  }
  Imported* imported = nullptr;
  if (!import(producer, what, imported)) return false;
  ColumnArrays column;
  bool found = true;
  std::string label = field.empty() ? what : cat(what, " column '", field, "'");
  if (!select_column(*imported, field, what, column, found)) return false;
  if (!found) {
    raise(PyExc_ValueError, cat(what, ": the table has no column '", field, "'"));
    return false;
  }
  return text_chunks(column, label, out);
}

bool Inputs::encode_texts(PyObject* sequence, const std::string& what, TextColumn& out) {
  Py_ssize_t size = PySequence_Size(sequence);
  if (size < 0) return false;
  auto encoded = std::make_shared<EncodedTexts>();
  encoded->offsets.reserve(static_cast<std::size_t>(size) + 1);
  encoded->validity.assign((static_cast<std::size_t>(size) + 7) / 8, 0);
  bool nulls = false;
  for (Py_ssize_t i = 0; i < size; ++i) {
    auto item = PyRef::steal(PySequence_GetItem(sequence, i));
    if (!item) return false;
    if (item.get() == Py_None) {
      nulls = true;
    } else if (PyUnicode_Check(item.get())) {
      auto bytes = PyRef::steal(PyUnicode_AsUTF8String(item.get()));
      if (!bytes) return false;
      char* data;
      Py_ssize_t length;
      if (PyBytes_AsStringAndSize(bytes.get(), &data, &length) < 0) return false;
      encoded->data.append(data, static_cast<std::size_t>(length));
      set_valid(encoded->validity, static_cast<std::size_t>(i));
    } else {
      raise(PyExc_TypeError, cat(what, ": item ", std::to_string(i), " is a '",
                                 py::type_name(item.get()), "', not a str"));
      return false;
    }
    encoded->offsets.push_back(static_cast<std::int64_t>(encoded->data.size()));
  }
  TextChunk chunk;
  chunk.layout = TextLayout::kOffsets64;
  chunk.length = size;
  chunk.validity = nulls ? encoded->validity.data() : nullptr;
  chunk.offsets = encoded->offsets.data();
  chunk.data = encoded->data.data();
  if (size > 0) out.chunks.push_back(chunk);
  encoded_.push_back(std::move(encoded));
  return true;
}

bool Inputs::numbers(PyObject* sequence, const std::string& what, NumberColumn& out) {
  if (!is_plain_sequence(sequence)) {
    raise(PyExc_TypeError,
          cat(what, ": expected a sequence of numbers, got '", py::type_name(sequence), "'"));
    return false;
  }
  Py_ssize_t size = PySequence_Size(sequence);
  if (size < 0) return false;
  auto encoded = std::make_shared<EncodedNumbers>();
  encoded->values.assign(static_cast<std::size_t>(size), 0.0);
  encoded->validity.assign((static_cast<std::size_t>(size) + 7) / 8, 0);
  bool nulls = false;
  for (Py_ssize_t i = 0; i < size; ++i) {
    auto item = PyRef::steal(PySequence_GetItem(sequence, i));
    if (!item) return false;
    if (item.get() == Py_None) {
      nulls = true;
      continue;
    }
    if (!PyFloat_Check(item.get()) && !PyLong_Check(item.get())) {
      raise(PyExc_TypeError, cat(what, ": item ", std::to_string(i), " is a '",
                                 py::type_name(item.get()), "', not a number"));
      return false;
    }
    double value = PyFloat_AsDouble(item.get());
    if (value == -1.0 && PyErr_Occurred() != nullptr) return false;
    encoded->values[static_cast<std::size_t>(i)] = value;
    set_valid(encoded->validity, static_cast<std::size_t>(i));
  }
  NumberChunk chunk;
  chunk.type = NumberType::kF64;
  chunk.length = size;
  chunk.validity = nulls ? encoded->validity.data() : nullptr;
  chunk.values = encoded->values.data();
  if (size > 0) out.chunks.push_back(chunk);
  encoded_.push_back(std::move(encoded));
  return true;
}

}  // namespace quorvane::columns
