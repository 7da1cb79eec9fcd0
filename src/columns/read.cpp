// columns/read.cpp: validating imported Arrow arrays in full and reading them as column
// views; the names of Arrow types in messages.
#include "columns/read.h"

#include <algorithm>
#include <cerrno>   // ENOMEM
#include <cmath>    // std::ldexp
#include <cstdio>   // std::snprintf
#include <cstring>  // std::strcmp

#include "cat.h"
#include "unicode/utf8.h"

namespace quorvane::columns {
namespace {

ReadFailure type_failure(std::string message) {
  return {ReadFailure::Kind::kType, std::move(message)};
}
ReadFailure value_failure(std::string message) {
  return {ReadFailure::Kind::kValue, std::move(message)};
}

const char* unit_name(ArrowTimeUnit unit) {
  switch (unit) {
    case NANOARROW_TIME_UNIT_SECOND:
      return "s";
    case NANOARROW_TIME_UNIT_MILLI:
      return "ms";
    case NANOARROW_TIME_UNIT_MICRO:
      return "us";
    case NANOARROW_TIME_UNIT_NANO:
      return "ns";
  }
  return "?";
}

// polars exports its Int128 and UInt128 in formats of its own, which Arrow has no type
// for: whether `schema` is one (true for UInt128), and nothing for any other format. The
// values lie as a decimal128's do: 16 bytes each, little-endian (two's complement for
// Int128).
std::optional<bool> polars_int128(const ArrowSchema* schema) {
  if (schema->format == nullptr) return std::nullopt;
  if (std::strcmp(schema->format, "_pli128") == 0) return false;
  if (std::strcmp(schema->format, "_plu128") == 0) return true;
  return std::nullopt;
}

// "<item: int64>" for a nested type's children, as pyarrow writes them.
std::string children_of(const ArrowSchema* schema) {
  std::string out = "<";
  for (std::int64_t i = 0; i < schema->n_children; ++i) {
    const ArrowSchema* child = schema->children[i];
    if (i > 0) out += ", ";
    out += cat(child->name != nullptr ? child->name : "", ": ", type_name(child));
  }
  return out + ">";
}

// The text of the string `key` holds in the flat JSON object `json` (an extension type's
// metadata), escapes left as they are; empty when there is none. Enough for a message.
std::string_view json_text(std::string_view json, std::string_view key) {
  const std::string quoted = cat("\"", key, "\"");
  std::size_t at = json.find(quoted);
  if (at == std::string_view::npos) return {};
  at = json.find_first_not_of(" \t\r\n", at + quoted.size());
  if (at == std::string_view::npos || json[at] != ':') return {};
  at = json.find_first_not_of(" \t\r\n", at + 1);
  if (at == std::string_view::npos || json[at] != '"') return {};
  std::size_t end = at + 1;
  while (end < json.size() && json[end] != '"') end += json[end] == '\\' ? 2 : 1;
  return json.substr(at + 1, std::min(end, json.size()) - at - 1);
}

// The name of the type `type` (a view of `schema`) is stored as.
std::string storage_name(const ArrowSchema* schema, const ArrowSchemaView& type) {
  const std::string size = std::to_string(type.fixed_size);
  switch (type.type) {
    case NANOARROW_TYPE_NA:
      return "null";
    case NANOARROW_TYPE_HALF_FLOAT:
      return "halffloat";
    case NANOARROW_TYPE_DICTIONARY:
      return cat("dictionary<values=", type_name(schema->dictionary),
                 ", indices=", ArrowTypeString(type.storage_type), ">");
    case NANOARROW_TYPE_FIXED_SIZE_BINARY:
      return cat("fixed_size_binary[", size, "]");
    case NANOARROW_TYPE_DATE32:
      return "date32[day]";
    case NANOARROW_TYPE_DATE64:
      return "date64[ms]";
    case NANOARROW_TYPE_TIMESTAMP:
      if (type.timezone != nullptr && type.timezone[0] != '\0') {
        return cat("timestamp[", unit_name(type.time_unit), ", tz=", type.timezone, "]");
      }
      [[fallthrough]];
    case NANOARROW_TYPE_TIME32:
    case NANOARROW_TYPE_TIME64:
    case NANOARROW_TYPE_DURATION:
      return cat(ArrowTypeString(type.type), "[", unit_name(type.time_unit), "]");
    case NANOARROW_TYPE_DECIMAL32:
    case NANOARROW_TYPE_DECIMAL64:
    case NANOARROW_TYPE_DECIMAL128:
    case NANOARROW_TYPE_DECIMAL256:
      return cat(ArrowTypeString(type.type), "(", std::to_string(type.decimal_precision), ", ",
                 std::to_string(type.decimal_scale), ")");
    case NANOARROW_TYPE_LIST:
    case NANOARROW_TYPE_LARGE_LIST:
    case NANOARROW_TYPE_STRUCT:
      return cat(ArrowTypeString(type.type), children_of(schema));
    case NANOARROW_TYPE_FIXED_SIZE_LIST:
      return cat("fixed_size_list", children_of(schema), "[", size, "]");
    default:
      return ArrowTypeString(type.type);
  }
}

}  // namespace

std::string type_name(const ArrowSchema* schema) {
  ArrowSchemaView type{};
  ArrowError error{};
  if (ArrowSchemaViewInit(&type, schema, &error) != NANOARROW_OK) {
    if (const auto wide = polars_int128(schema)) return *wide ? "uint128" : "int128";
    return cat("Arrow format '", schema->format != nullptr ? schema->format : "", "'");
  }
  std::string name = storage_name(schema, type);
  if (type.extension_name.size_bytes <= 0) return name;
  // An extension type (duckdb's BIGNUM, arrow.uuid) is named as pyarrow names it, so that
  // "got binary" does not hide what the column holds.
  const auto text = [](ArrowStringView view) {
    return std::string_view(view.data, static_cast<std::size_t>(view.size_bytes));
  };
  const std::string_view extension = text(type.extension_name);
  if (extension != "arrow.opaque") return cat("extension<", extension, ">");
  const std::string_view metadata = text(type.extension_metadata);
  return cat("extension<arrow.opaque[storage_type=", name,
             ", type_name=", json_text(metadata, "type_name"),
             ", vendor_name=", json_text(metadata, "vendor_name"), "]>");
}

// MARK: producers

std::int64_t Imported::rows() const noexcept {
  std::int64_t n = 0;
  for (const auto& array : arrays) n += (*array)->length;
  return n;
}

bool Imported::is_table() const noexcept {
  return schema->format != nullptr && std::strcmp(schema->format, "+s") == 0;
}

std::int64_t Imported::column_index(std::string_view name) const noexcept {
  for (std::int64_t i = 0; i < schema->n_children; ++i) {
    const char* child = schema->children[i]->name;
    if (child != nullptr && name == child) return i;
  }
  return -1;
}

std::int64_t Imported::columns_named(std::string_view name) const noexcept {
  std::int64_t count = 0;
  for (std::int64_t i = 0; i < schema->n_children; ++i) {
    const char* child = schema->children[i]->name;
    if (child != nullptr && name == child) ++count;
  }
  return count;
}

std::string Imported::column_names() const {
  std::string out;
  for (std::int64_t i = 0; i < schema->n_children; ++i) {
    const char* child = schema->children[i]->name;
    out += cat(i > 0 ? ", '" : "'", child != nullptr ? child : "", "'");
  }
  return out;
}

Status read_stream(ArrowArrayStream& stream, Imported& out, std::string_view what) {
  auto failed = [&](int code) {
    const char* text = stream.get_last_error(&stream);
    std::string message = cat(what, ": the Arrow stream failed (", std::to_string(code), ")",
                              text != nullptr ? ": " : "", text != nullptr ? text : "");
    return ReadFailure{code == ENOMEM ? ReadFailure::Kind::kMemory : ReadFailure::Kind::kValue,
                       std::move(message)};
  };
  if (int code = stream.get_schema(&stream, out.schema.get()); code != 0) return failed(code);
  for (;;) {
    auto array = std::make_unique<OwnedArray>();
    if (int code = stream.get_next(&stream, array->get()); code != 0) return failed(code);
    if ((*array)->release == nullptr) return std::nullopt;  // the end of the stream
    out.arrays.push_back(std::move(array));
  }
}

const std::string_view* Store::keep(std::vector<std::string_view> words) {
  return words_.emplace_back(std::move(words)).data();
}

const std::uint8_t* Store::keep(std::vector<std::uint8_t> bits) {
  return bits_.emplace_back(std::move(bits)).data();
}

const std::int64_t* Store::keep(std::vector<std::int64_t> offsets) {
  return offsets_.emplace_back(std::move(offsets)).data();
}

const double* Store::keep(std::vector<double> numbers) {
  return numbers_.emplace_back(std::move(numbers)).data();
}

const char* Store::keep(std::string text) { return texts_.emplace_back(std::move(text)).data(); }

Read<ColumnArrays> column_arrays(const Imported& in, std::int64_t index, std::string_view label) {
  ColumnArrays out;
  if (index < 0) {
    out.schema = in.schema.get();
    for (const auto& array : in.arrays) out.parts.push_back({array->get(), 0, (*array)->length});
    return out;
  }
  const ArrowSchema* schema = in.schema.get();
  out.schema = schema->children[index];
  for (const auto& owned : in.arrays) {
    const ArrowArray* table = owned->get();
    if (table->n_children != schema->n_children || table->children == nullptr ||
        table->children[index] == nullptr || table->offset < 0 || table->length < 0) {
      return value_failure(
          cat(label, ": malformed Arrow table: its arrays do not match its schema"));
    }
    if (table->null_count != 0 && table->buffers != nullptr && table->n_buffers > 0 &&
        table->buffers[0] != nullptr) {
      return value_failure(cat(label, ": a table with null rows is not supported"));
    }
    out.parts.push_back({table->children[index], table->offset, table->length});
  }
  return out;
}

// MARK: validation

namespace {

// Checks that a table's rows lie inside the array of its column.
Status check_rows(const ColumnArrays::Part& part, std::int64_t length, std::string_view label) {
  // start and length are each at least 0: compared without a sum that could overflow.
  if (part.start > length || part.length > length - part.start) {
    return value_failure(cat(label, ": malformed Arrow table: a column is shorter than its table"));
  }
  return std::nullopt;
}

// The null type has no buffers to read, and producers differ in how many they say it
// has (polars says one): only its length matters.
Status check_null_array(const ColumnArrays::Part& part, std::string_view label) {
  if (part.array->length < 0 || part.array->offset < 0) {
    return value_failure(cat(label, ": malformed Arrow array: a negative length or offset"));
  }
  return check_rows(part, part.array->length, label);
}

// Checks one array of a column in full (buffer counts and sizes, offsets in order and
// inside the data, dictionary indices inside the dictionary) before anything reads it,
// and that the table's rows lie inside the column's array.
Status validate(const ArrowSchema* schema, const ColumnArrays::Part& part, std::string_view label,
                OwnedView& view) {
  ArrowError error{};
  if (ArrowArrayViewInitFromSchema(view.get(), schema, &error) != NANOARROW_OK) {
    return type_failure(
        cat(label, ": unsupported Arrow type ", type_name(schema), ": ", error.message));
  }
  if (!extents_in_range(part.array)) {
    return value_failure(cat(label, ": malformed Arrow array: a length or offset out of range"));
  }
  if (ArrowArrayViewSetArray(view.get(), part.array, &error) != NANOARROW_OK ||
      ArrowArrayViewValidate(view.get(), NANOARROW_VALIDATION_LEVEL_FULL, &error) != NANOARROW_OK) {
    return value_failure(cat(label, ": malformed Arrow array: ", error.message));
  }
  return check_rows(part, view.get()->length, label);
}

const std::uint8_t* validity_of(const ArrowArrayView* view) {
  return view->null_count == 0 ? nullptr : view->buffer_views[0].data.as_uint8;
}

// nanoarrow's full validation does not look inside string views: each view of a
// non-null element in [first, first + count) that points into a variadic buffer must
// lie inside that buffer.
Status check_views(const ArrowArrayView* v, std::int64_t first, std::int64_t count,
                   std::string_view label) {
  const char* views = v->buffer_views[1].data.as_char;
  for (std::int64_t row = first; row < first + count; ++row) {
    if (ArrowArrayViewIsNull(v, row)) continue;
    auto [size, buffer, at] = ViewFields::of(views + 16 * (v->offset + row));
    bool inside =
        size >= 0 && (size <= 12 || (buffer >= 0 && buffer < v->n_variadic_buffers && at >= 0 &&
                                     std::int64_t{at} + size <= v->variadic_buffer_sizes[buffer] &&
                                     v->variadic_buffers[buffer] != nullptr));
    if (!inside) {
      return value_failure(cat(label, ": malformed Arrow array: the string view of row ",
                               std::to_string(row), " points outside its buffers"));
    }
  }
  return std::nullopt;
}

// Arrow's strings are UTF-8 by definition, but nothing makes a producer keep to it (an
// array can be built from raw buffers, and a CSV reader told not to look). The engines
// lower-case and split text on the understanding that it is well-formed, so a malformed
// row would match, or fail to, in silence: it is refused, naming the row.

// Whether every row of an offsets chunk is well-formed, its bytes checked in one run:
// all rows are when the run is and each row begins a character (at a byte that does not
// continue one). False also where only the bytes under a null row are malformed.
template <class Offset>
bool offsets_well_formed(const TextChunk& chunk) {
  const auto* offsets = static_cast<const Offset*>(chunk.values);
  const Offset first = offsets[chunk.offset];
  const Offset last = offsets[chunk.offset + chunk.length];
  std::string_view run(chunk.data + first, static_cast<std::size_t>(last - first));
  bool ascii = true;
  if (unicode::first_malformed(run, ascii) != run.size()) return false;
  if (ascii) return true;
  for (std::int64_t i = chunk.offset; i < chunk.offset + chunk.length; ++i) {
    if (offsets[i] < last && (static_cast<unsigned char>(chunk.data[offsets[i]]) & 0xC0) == 0x80) {
      return false;
    }
  }
  return true;
}

// The first row of `chunk` that is not null and not well-formed UTF-8, as a failure;
// `first_row` is the chunk's first row in the column. A dictionary's words are checked
// once each, the rows only when one of them is malformed.
Status check_utf8(const TextChunk& chunk, std::int64_t words, std::int64_t first_row,
                  std::string_view label) {
  if (chunk.length == 0) return std::nullopt;  // its buffers may hold no offset at all
  bool whole = false;
  switch (chunk.layout) {
    case TextLayout::kOffsets32:
      whole = offsets_well_formed<std::int32_t>(chunk);
      break;
    case TextLayout::kOffsets64:
      whole = offsets_well_formed<std::int64_t>(chunk);
      break;
    case TextLayout::kDictionary:
      whole = std::all_of(chunk.words, chunk.words + words,
                          [](std::string_view w) { return unicode::well_formed(w); });
      break;
    case TextLayout::kViews:  // short rows inline: checked one by one below
      break;
    case TextLayout::kNull:
      whole = true;
      break;
  }
  if (whole) return std::nullopt;
  std::int64_t bad = -1;
  chunk.for_rows(0, chunk.length, 0, [&](std::int64_t row, std::optional<std::string_view> text) {
    if (bad < 0 && text && !unicode::well_formed(*text)) bad = row;
  });
  if (bad < 0) return std::nullopt;  // malformed bytes under null rows only, or no row at all
  return value_failure(malformed_row(label, first_row + bad));
}

// The layout of a string type that is not a dictionary, if it is one. Binary columns are
// read as text too: a Parquet file that does not mark its strings as UTF-8 gives them, and
// their rows are checked as every string column's are.
std::optional<TextLayout> plain_layout(ArrowType type) {
  switch (type) {
    case NANOARROW_TYPE_STRING:
    case NANOARROW_TYPE_BINARY:
      return TextLayout::kOffsets32;
    case NANOARROW_TYPE_LARGE_STRING:
    case NANOARROW_TYPE_LARGE_BINARY:
      return TextLayout::kOffsets64;
    case NANOARROW_TYPE_STRING_VIEW:
    case NANOARROW_TYPE_BINARY_VIEW:
      return TextLayout::kViews;
    default:
      return std::nullopt;
  }
}

// The chunk of a validated string array that is not a dictionary, checking its views.
Read<TextChunk> plain_chunk(const ArrowArrayView* v, TextLayout layout, std::int64_t first,
                            std::int64_t count, std::string_view label) {
  TextChunk chunk;
  chunk.layout = layout;
  chunk.offset = v->offset + first;
  chunk.length = count;
  chunk.validity = validity_of(v);
  chunk.values = v->buffer_views[1].data.data;
  if (layout == TextLayout::kViews) {
    if (Status bad = check_views(v, first, count, label)) return *bad;
    chunk.variadic = reinterpret_cast<const char* const*>(v->variadic_buffers);
  } else {
    chunk.data = v->buffer_views[2].data.as_char;
  }
  return chunk;
}

// A dictionary-encoded chunk: the dictionary's strings are read once into `words`; where
// some are null, the rows pointing at them are made null in a bitmap of the chunk's own.
Read<TextChunk> dictionary_chunk(const ArrowArrayView* v, TextLayout values, NumberType index,
                                 std::int64_t first, std::int64_t count, std::string_view label,
                                 Store& store) {
  const ArrowArrayView* dictionary = v->dictionary;
  Read<TextChunk> words_chunk = plain_chunk(dictionary, values, 0, dictionary->length, label);
  if (!words_chunk) return words_chunk.error();
  const TextChunk& in_words = words_chunk.value();
  std::vector<std::string_view> words(static_cast<std::size_t>(dictionary->length));
  bool null_words = false;
  in_words.for_rows(0, dictionary->length, 0,
                    [&](std::int64_t i, std::optional<std::string_view> text) {
                      if (text) words[static_cast<std::size_t>(i)] = *text;
                      null_words = null_words || !text;
                    });
  TextChunk chunk;
  chunk.layout = TextLayout::kDictionary;
  chunk.index = index;
  chunk.offset = v->offset + first;
  chunk.length = count;
  chunk.validity = validity_of(v);
  chunk.values = v->buffer_views[1].data.data;
  if (null_words) {
    // Bits for the elements up to the chunk's last, those before its offset left clear.
    std::vector<std::uint8_t> bits(static_cast<std::size_t>((chunk.offset + count + 7) / 8), 0);
    for (std::int64_t i = chunk.offset; i < chunk.offset + count; ++i) {
      bool valid = chunk.validity == nullptr || detail::bit(chunk.validity, i);
      if (valid) {
        valid = !in_words.is_null(with_number_type(index, [&](auto type) {
          return static_cast<std::int64_t>(detail::load<decltype(type)>(chunk.values, i));
        }));
      }
      if (valid) bits[static_cast<std::size_t>(i >> 3)] |= static_cast<std::uint8_t>(1U << (i & 7));
    }
    chunk.validity = store.keep(std::move(bits));
  }
  chunk.words = store.keep(std::move(words));
  return chunk;
}

std::optional<NumberType> number_type(ArrowType type) {
  switch (type) {
    case NANOARROW_TYPE_INT8:
      return NumberType::kI8;
    case NANOARROW_TYPE_INT16:
      return NumberType::kI16;
    case NANOARROW_TYPE_INT32:
      return NumberType::kI32;
    case NANOARROW_TYPE_INT64:
      return NumberType::kI64;
    case NANOARROW_TYPE_UINT8:
      return NumberType::kU8;
    case NANOARROW_TYPE_UINT16:
      return NumberType::kU16;
    case NANOARROW_TYPE_UINT32:
      return NumberType::kU32;
    case NANOARROW_TYPE_UINT64:
      return NumberType::kU64;
    case NANOARROW_TYPE_FLOAT:
      return NumberType::kF32;
    case NANOARROW_TYPE_DOUBLE:
      return NumberType::kF64;
    case NANOARROW_TYPE_NA:
      return NumberType::kNull;
    default:
      return std::nullopt;
  }
}

// Whether every row of a column of numbers is null (a malformed array is not read).
bool only_nulls(const ColumnArrays& column) {
  for (const ColumnArrays::Part& part : column.parts) {
    OwnedView view;
    if (validate(column.schema, part, "", view)) return false;
    const std::uint8_t* valid = view.get()->buffer_views[0].data.as_uint8;
    if (part.length > 0 &&
        (valid == nullptr ||
         ArrowBitCountSet(valid, view.get()->offset + part.start, part.length) != 0)) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string malformed_row(std::string_view label, std::int64_t row) {
  return cat(label, ": row ", std::to_string(row), " is not valid UTF-8 text");
}

Read<TextColumn> read_texts(const ColumnArrays& column, std::string_view label, Store& store,
                            Utf8 utf8) {
  ArrowSchemaView type{};
  ArrowError error{};
  std::optional<TextLayout> layout;
  std::optional<TextLayout> values;  // a dictionary's
  std::optional<NumberType> index;
  if (ArrowSchemaViewInit(&type, column.schema, &error) == NANOARROW_OK) {
    if (type.type == NANOARROW_TYPE_NA) {
      layout = TextLayout::kNull;
    } else if (type.type == NANOARROW_TYPE_DICTIONARY) {
      ArrowSchemaView words{};
      index = number_type(type.storage_type);
      if (index && *index >= NumberType::kF32) index.reset();  // indices are integers
      if (index && ArrowSchemaViewInit(&words, column.schema->dictionary, &error) == NANOARROW_OK) {
        values = plain_layout(words.type);
        // A dictionary of null values, or one empty in every array, holds only nulls: a
        // Categorical of pandas without a category comes so, its values of any type.
        bool empty = true;
        for (const ColumnArrays::Part& part : column.parts) {
          empty = empty && part.array->dictionary != nullptr && part.array->dictionary->length == 0;
        }
        if (words.type == NANOARROW_TYPE_NA || (!values && empty)) layout = TextLayout::kNull;
      }
      if (values) layout = TextLayout::kDictionary;
    } else {
      layout = plain_layout(type.type);
      // A column of numbers without a number is a column of nulls: pandas gives a column
      // of blank cells (a CSV file's column nobody filled in) the type float.
      if (!layout && number_type(type.type) && only_nulls(column)) layout = TextLayout::kNull;
    }
  }
  if (!layout) {
    return type_failure(
        cat(label, ": expected a column of strings, got ", type_name(column.schema)));
  }
  TextColumn out;
  std::int64_t rows = 0;
  for (const ColumnArrays::Part& part : column.parts) {
    Read<TextChunk> chunk = TextChunk{TextLayout::kNull, NumberType::kI32, 0, part.length};
    std::int64_t words = 0;
    if (*layout == TextLayout::kNull) {
      if (Status bad = check_null_array(part, label)) return *bad;
    } else {
      OwnedView view;
      if (Status bad = validate(column.schema, part, label, view)) return *bad;
      const bool dictionary = *layout == TextLayout::kDictionary;
      words = dictionary ? view.get()->dictionary->length : 0;
      chunk = dictionary ? dictionary_chunk(view.get(), *values, *index, part.start, part.length,
                                            label, store)
                         : plain_chunk(view.get(), *layout, part.start, part.length, label);
    }
    if (!chunk) return chunk.error();
    if (utf8 == Utf8::kCheck) {
      if (Status bad = check_utf8(chunk.value(), words, rows, label)) return *bad;
    }
    rows += part.length;
    if (part.length > 0) out.chunks.push_back(chunk.value());
  }
  if (utf8 == Utf8::kUnchecked) out.unchecked = label;
  return out;
}

namespace {

// The year and month of the day `days` after 1970-01-01, in the proleptic Gregorian
// calendar (H. Hinnant's days_from_civil, inverted).
std::pair<std::int64_t, unsigned> month_of_day(std::int64_t days) {
  const std::int64_t z = days + 719468;  // days since 0000-03-01
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t day_of_era = z - era * 146097;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t shifted = (5 * day_of_year + 2) / 153;  // March is 0
  const auto month = static_cast<unsigned>(shifted < 10 ? shifted + 3 : shifted - 9);
  return {year_of_era + era * 400 + (month <= 2 ? 1 : 0), month};
}

// Units of a date or timestamp column in a day, or 0 for any other type.
std::int64_t units_per_day(const ArrowSchemaView& type) {
  switch (type.type) {
    case NANOARROW_TYPE_DATE32:
      return 1;
    case NANOARROW_TYPE_DATE64:
      return 86'400'000;
    case NANOARROW_TYPE_TIMESTAMP:
      switch (type.time_unit) {
        case NANOARROW_TIME_UNIT_SECOND:
          return 86'400;
        case NANOARROW_TIME_UNIT_MILLI:
          return 86'400'000;
        case NANOARROW_TIME_UNIT_MICRO:
          return 86'400'000'000;
        case NANOARROW_TIME_UNIT_NANO:
          return 86'400'000'000'000;
      }
      return 0;
    default:
      return 0;
  }
}

}  // namespace

Read<TextColumn> read_months(const ColumnArrays& column, std::string_view label, Store& store) {
  ArrowSchemaView type{};
  ArrowError error{};
  if (ArrowSchemaViewInit(&type, column.schema, &error) != NANOARROW_OK) {
    return read_texts(column, label, store);  // whose failure names the type
  }
  const std::int64_t per_day = units_per_day(type);
  if (per_day == 0) return read_texts(column, label, store);
  if (type.type == NANOARROW_TYPE_TIMESTAMP && type.timezone != nullptr && *type.timezone != '\0') {
    return type_failure(cat(label, ": expected a column of strings or dates, got ",
                            type_name(column.schema),
                            ": the month of a time in a zone is that zone's; convert it to a "
                            "date first"));
  }
  TextColumn out;
  for (const ColumnArrays::Part& part : column.parts) {
    OwnedView view;
    if (Status bad = validate(column.schema, part, label, view)) return *bad;
    std::string text;
    std::vector<std::int64_t> offsets{0};
    std::vector<std::uint8_t> bits(static_cast<std::size_t>((part.length + 7) / 8), 0);
    char month[32];
    for (std::int64_t r = 0; r < part.length; ++r) {
      const std::int64_t i = part.start + r;
      if (!ArrowArrayViewIsNull(view.get(), i)) {
        const std::int64_t value = ArrowArrayViewGetIntUnsafe(view.get(), i);
        const std::int64_t days = value / per_day - (value % per_day < 0 ? 1 : 0);
        const auto [year, number] = month_of_day(days);
        const int written =
            std::snprintf(month, sizeof month, "%04lld-%02u", static_cast<long long>(year), number);
        text.append(month, static_cast<std::size_t>(written));
        bits[static_cast<std::size_t>(r >> 3)] |= static_cast<std::uint8_t>(1U << (r & 7));
      }
      offsets.push_back(static_cast<std::int64_t>(text.size()));
    }
    if (part.length == 0) continue;
    TextChunk chunk;
    chunk.layout = TextLayout::kOffsets64;
    chunk.length = part.length;
    chunk.validity = store.keep(std::move(bits));
    chunk.values = store.keep(std::move(offsets));
    chunk.data = store.keep(std::move(text));
    out.chunks.push_back(chunk);
  }
  return out;
}

bool holds_integers(const ColumnArrays& column) {
  ArrowSchemaView type{};
  ArrowError error{};
  if (ArrowSchemaViewInit(&type, column.schema, &error) != NANOARROW_OK) return false;
  std::optional<NumberType> number = number_type(type.type);
  return number && *number < NumberType::kF32;
}

namespace {

// A dictionary-encoded column of integers or floats (pandas' `category` of numbers), its
// rows copied out of the dictionary: integers in 64 bits of their own signedness, floats
// as doubles.
Read<NumberColumn> dictionary_numbers(const ColumnArrays& column, std::string_view label,
                                      Store& store) {
  NumberColumn out;
  for (const ColumnArrays::Part& part : column.parts) {
    OwnedView view;
    if (Status bad = validate(column.schema, part, label, view)) return *bad;
    const ArrowArrayView* v = view.get();
    const ArrowArrayView* words = v->dictionary;
    const NumberType stored = number_type(words->storage_type).value_or(NumberType::kNull);
    const bool floats = stored >= NumberType::kF32;  // or nulls, which hold no value
    const bool unsigned64 = stored == NumberType::kU64;
    std::vector<std::uint8_t> bits(static_cast<std::size_t>((part.length + 7) / 8), 0);
    std::vector<std::int64_t> integers;
    std::vector<double> doubles;
    for (std::int64_t r = 0; r < part.length; ++r) {
      const std::int64_t i = part.start + r;
      const std::int64_t word = ArrowArrayViewIsNull(v, i) ? -1 : ArrowArrayViewGetIntUnsafe(v, i);
      const bool valid = word >= 0 && !ArrowArrayViewIsNull(words, word);
      if (valid) bits[static_cast<std::size_t>(r >> 3)] |= static_cast<std::uint8_t>(1U << (r & 7));
      if (floats) {
        doubles.push_back(valid ? ArrowArrayViewGetDoubleUnsafe(words, word) : 0.0);
      } else {
        // The bits of a uint64 as they are, read back as kU64.
        integers.push_back(!valid ? 0
                           : unsigned64
                               ? static_cast<std::int64_t>(ArrowArrayViewGetUIntUnsafe(words, word))
                               : ArrowArrayViewGetIntUnsafe(words, word));
      }
    }
    if (part.length == 0) continue;
    NumberChunk chunk;
    chunk.type = floats ? NumberType::kF64 : unsigned64 ? NumberType::kU64 : NumberType::kI64;
    chunk.length = part.length;
    chunk.validity = store.keep(std::move(bits));
    chunk.values = floats ? static_cast<const void*>(store.keep(std::move(doubles)))
                          : static_cast<const void*>(store.keep(std::move(integers)));
    out.chunks.push_back(chunk);
  }
  return out;
}

// The value of the IEEE half float of `bits`, exactly (subnormals included, which
// nanoarrow's conversion reads as zero).
double half_float(std::uint16_t bits) {
  const unsigned exponent = (bits >> 10) & 0x1FU;
  const unsigned fraction = bits & 0x3FFU;
  double magnitude = exponent == 0 ? std::ldexp(fraction, -24)
                     : exponent == 31
                         ? (fraction == 0 ? HUGE_VAL : std::nan(""))
                         : std::ldexp(1024 + fraction, static_cast<int>(exponent) - 25);
  return (bits & 0x8000U) != 0 ? -magnitude : magnitude;
}

// A column of half floats (polars' Float16, numpy's float16 in pandas), its rows copied
// out as doubles, which hold every half float exactly.
Read<NumberColumn> half_floats(const ColumnArrays& column, std::string_view label, Store& store) {
  NumberColumn out;
  for (const ColumnArrays::Part& part : column.parts) {
    OwnedView view;
    if (Status bad = validate(column.schema, part, label, view)) return *bad;
    if (part.length == 0) continue;
    const ArrowArrayView* v = view.get();
    std::vector<std::uint8_t> bits(static_cast<std::size_t>((part.length + 7) / 8), 0);
    std::vector<double> doubles(static_cast<std::size_t>(part.length), 0.0);
    for (std::int64_t r = 0; r < part.length; ++r) {
      if (ArrowArrayViewIsNull(v, part.start + r)) continue;
      bits[static_cast<std::size_t>(r >> 3)] |= static_cast<std::uint8_t>(1U << (r & 7));
      doubles[static_cast<std::size_t>(r)] =
          half_float(v->buffer_views[1].data.as_uint16[v->offset + part.start + r]);
    }
    NumberChunk chunk;
    chunk.type = NumberType::kF64;
    chunk.length = part.length;
    chunk.validity = store.keep(std::move(bits));
    chunk.values = store.keep(std::move(doubles));
    out.chunks.push_back(chunk);
  }
  return out;
}

// nanoarrow's full validation does not look at a decimal's digits: a value past its
// type's precision, which Arrow's own validation refuses, is refused here too. duckdb
// exports a HUGEINT or UHUGEINT as decimal128(38, 0), whatever its digits, and a UHUGEINT
// of 2^127 or more as a negative number: of more than 38 digits, so refused, up to
// 2^128 - 10^38. `first_row` is the column's row of the chunk's first.
Status check_digits(const NumberChunk& chunk, int precision, bool huge, std::int64_t first_row,
                    const ArrowSchema* schema, std::string_view label) {
  for (std::int64_t r = 0; r < chunk.length; ++r) {
    if (chunk.is_null(r)) continue;
    const bool fits = detail::with_decimal(
        chunk.values, chunk.offset + r, chunk.decimal_bytes,
        [&](auto unscaled) { return detail::within_digits(unscaled, precision); });
    if (!fits) {
      return value_failure(
          cat(label, ": row ", std::to_string(first_row + r),
              " holds a number of more digits than its type ", type_name(schema), " has",
              huge ? " (duckdb exports a HUGEINT or UHUGEINT as decimal128(38, 0), "
                     "whatever its digits): cast it to DOUBLE"
                   : ""));
    }
  }
  return std::nullopt;
}

void release_nothing(ArrowSchema*) {}

// A column of polars' Int128 or UInt128 (`is_unsigned`), read as decimals of scale 0 and
// validated as the decimal128 it is laid out as: Int128 over its own buffers, UInt128
// copied out into 32 bytes a value, zero-extended, so that none past 2^127 reads as
// negative.
Read<NumberColumn> int128_numbers(const ColumnArrays& column, bool is_unsigned,
                                  std::string_view label, Store& store) {
  ArrowSchema decimal{};  // the column's layout in a format Arrow knows, owned by nobody
  decimal.format = "d:38,0";
  decimal.name = column.schema->name;
  decimal.flags = column.schema->flags;
  decimal.release = release_nothing;
  NumberColumn out;
  for (const ColumnArrays::Part& part : column.parts) {
    OwnedView view;
    if (Status bad = validate(&decimal, part, label, view)) return *bad;
    const ArrowArrayView* v = view.get();
    NumberChunk chunk;
    chunk.length = part.length;
    chunk.decimal_bytes = 16;
    chunk.offset = v->offset + part.start;
    chunk.validity = validity_of(v);
    chunk.values = v->buffer_views[1].data.data;
    if (is_unsigned && part.length > 0) {
      std::vector<std::uint8_t> bits(static_cast<std::size_t>((part.length + 7) / 8), 0);
      std::vector<std::int64_t> words(static_cast<std::size_t>(4 * part.length), 0);
      for (std::int64_t r = 0; r < part.length; ++r) {
        if (chunk.is_null(r)) continue;
        bits[static_cast<std::size_t>(r >> 3)] |= static_cast<std::uint8_t>(1U << (r & 7));
        std::memcpy(&words[static_cast<std::size_t>(4 * r)],
                    static_cast<const char*>(chunk.values) + 16 * (chunk.offset + r), 16);
      }
      chunk.decimal_bytes = 32;
      chunk.offset = 0;
      chunk.validity = store.keep(std::move(bits));
      chunk.values = store.keep(std::move(words));
    }
    if (part.length > 0) out.chunks.push_back(chunk);
  }
  return out;
}

}  // namespace

Read<NumberColumn> read_numbers(const ColumnArrays& column, std::string_view label, Store& store) {
  ArrowSchemaView type{};
  ArrowError error{};
  std::optional<NumberType> number;
  unsigned decimal_bytes = 0;
  if (ArrowSchemaViewInit(&type, column.schema, &error) == NANOARROW_OK) {
    if (type.type == NANOARROW_TYPE_DICTIONARY) {
      ArrowSchemaView words{};
      const std::optional<NumberType> index = number_type(type.storage_type);
      if (index && *index < NumberType::kF32 &&
          ArrowSchemaViewInit(&words, column.schema->dictionary, &error) == NANOARROW_OK) {
        const std::optional<NumberType> value = number_type(words.type);
        if (value) return dictionary_numbers(column, label, store);  // of nulls: all null
      }
    }
    if (type.type == NANOARROW_TYPE_HALF_FLOAT) return half_floats(column, label, store);
    number = number_type(type.type);
    decimal_bytes = type.type == NANOARROW_TYPE_DECIMAL32    ? 4
                    : type.type == NANOARROW_TYPE_DECIMAL64  ? 8
                    : type.type == NANOARROW_TYPE_DECIMAL128 ? 16
                    : type.type == NANOARROW_TYPE_DECIMAL256 ? 32
                                                             : 0;
    if (decimal_bytes != 0) number = NumberType::kF64;  // read through NumberChunk's decimals
    // A column of strings without a string is a column of nulls: polars and duckdb give a
    // CSV file's column of blank cells (or of no rows at all) the type string.
    if (!number && plain_layout(type.type) && only_nulls(column)) number = NumberType::kNull;
  }
  if (!number) {
    if (const auto wide = polars_int128(column.schema)) {
      return int128_numbers(column, *wide, label, store);
    }
    return type_failure(
        cat(label, ": expected a column of numbers, got ", type_name(column.schema)));
  }
  NumberColumn out;
  std::int64_t rows = 0;
  for (const ColumnArrays::Part& part : column.parts) {
    NumberChunk chunk;
    chunk.type = *number;
    chunk.length = part.length;
    chunk.decimal_bytes = decimal_bytes;
    chunk.scale = type.decimal_scale;
    if (*number == NumberType::kNull) {
      if (Status bad = check_null_array(part, label)) return *bad;
    } else {
      OwnedView view;
      if (Status bad = validate(column.schema, part, label, view)) return *bad;
      const ArrowArrayView* v = view.get();
      chunk.offset = v->offset + part.start;
      chunk.validity = validity_of(v);
      chunk.values = v->buffer_views[1].data.data;
      if (decimal_bytes != 0) {
        if (Status bad = check_digits(
                chunk, type.decimal_precision,
                decimal_bytes == 16 && type.decimal_precision == 38 && type.decimal_scale == 0,
                rows, column.schema, label)) {
          return *bad;
        }
      }
    }
    rows += part.length;
    if (part.length > 0) out.chunks.push_back(chunk);
  }
  return out;
}

}  // namespace quorvane::columns
