// tests/fuzz/fuzz_arrow.cpp: reading Arrow input against nanoarrow's own reading.
//
// The input is read as draws. The first picks what is built:
// - a column or a table of one (a struct, itself sliced), given as an array or as a
//   stream of up to three arrays, in any layout the door reads: utf8, large_utf8,
//   string_view (or their binary kin), a dictionary of each with any index type, the
//   null type, or numbers.
//   Buffers hold the drawn bytes and are as large as the C Data Interface says they
//   must be; offsets, views and indices may be anything. Reading must either fail or
//   give, for each row, what nanoarrow reads from the same validated array (a
//   dictionary's word at the row's index), and touch nothing outside the buffers;
// - the flat form of a table: bytes that read as a table must be written back to the
//   same bytes.
#include <algorithm>  // std::max
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "columns/flat.h"
#include "columns/read.h"
#include "fuzz_check.h"

namespace {

using namespace quorvane;
using namespace quorvane::columns;

// Draws from the input; past its end every draw is zero.
class Draws {
 public:
  Draws(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint64_t below(std::uint64_t n) {
    if (n <= 256) return n == 0 ? 0 : byte() % n;
    return word() % n;
  }
  std::uint64_t word() {
    std::uint64_t w = 0;
    for (int i = 0; i < 8; ++i) w = w << 8 | byte();
    return w;
  }
  void fill(void* out, std::size_t n) {
    auto* bytes = static_cast<std::uint8_t*>(out);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = byte();
  }
  std::string_view rest() {
    std::string_view out(reinterpret_cast<const char*>(data_ + at_), size_ - at_);
    at_ = size_;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

enum class Kind : std::uint8_t { kString, kLarge, kView, kNull, kInt32, kDouble };
constexpr ArrowType kIndexTypes[] = {
    NANOARROW_TYPE_INT8,  NANOARROW_TYPE_UINT8,  NANOARROW_TYPE_INT16, NANOARROW_TYPE_UINT16,
    NANOARROW_TYPE_INT32, NANOARROW_TYPE_UINT32, NANOARROW_TYPE_INT64, NANOARROW_TYPE_UINT64};
constexpr int kIndexBytes[] = {1, 1, 2, 2, 4, 4, 8, 8};
// Data buffers larger than this are not built: a producer's buffers exist in memory.
constexpr std::int64_t kMaxData = 1 << 16;

// The buffers of one built array and its children, freed by its release callback.
struct Built {
  std::vector<std::vector<std::uint8_t>> buffers;
  std::vector<const void*> pointers;
  std::vector<std::int64_t> variadic_sizes;
  std::vector<ArrowArray> children_storage;
  std::vector<ArrowArray*> children;
  ArrowArray dictionary{};
};

void release_built(ArrowArray* array) {
  auto* built = static_cast<Built*>(array->private_data);
  for (ArrowArray& child : built->children_storage) {
    if (child.release != nullptr) child.release(&child);
  }
  if (built->dictionary.release != nullptr) built->dictionary.release(&built->dictionary);
  delete built;
  array->release = nullptr;
}

std::vector<std::uint8_t> bytes_of(Draws& in, std::int64_t size) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(size));
  in.fill(out.data(), out.size());
  return out;
}

// Builds an array of `kind` (or a dictionary with `index` >= 0 over such values).
bool build(Draws& in, Kind kind, int index, ArrowArray* out, int depth = 0) {
  auto built = std::make_unique<Built>();
  const std::int64_t length = static_cast<std::int64_t>(in.below(40));
  const std::int64_t offset = static_cast<std::int64_t>(in.below(4));
  const std::int64_t elements = offset + length;
  std::memset(out, 0, sizeof *out);
  out->length = length;
  out->offset = offset;
  std::uint8_t nulls = in.byte() % 3;  // none, some (a bitmap), or an unknown count
  out->null_count = nulls == 0 ? 0 : -1;
  if (kind != Kind::kNull || index >= 0) {
    built->buffers.push_back(nulls == 0 ? std::vector<std::uint8_t>()
                                        : bytes_of(in, (elements + 7) / 8));
  }
  if (index >= 0) {
    built->buffers.push_back(bytes_of(in, elements * kIndexBytes[index]));
    out->dictionary = &built->dictionary;
    if (!build(in, kind, -1, &built->dictionary, depth + 1)) return false;
  } else if (kind == Kind::kString || kind == Kind::kLarge) {
    const int width = kind == Kind::kString ? 4 : 8;
    // Offsets: lengths added up, or raw drawn values to be refused by validation.
    std::vector<std::uint8_t> offsets(static_cast<std::size_t>((elements + 1) * width));
    std::int64_t end = 0;
    bool raw = in.byte() % 8 == 0;
    for (std::int64_t i = 0; i <= elements; ++i) {
      std::int64_t value =
          raw ? static_cast<std::int64_t>(in.word()) : end + static_cast<std::int64_t>(in.below(6));
      if (width == 4) value = static_cast<std::int32_t>(value);
      end = std::max(end, value);
      std::memcpy(&offsets[static_cast<std::size_t>(i * width)], &value,
                  static_cast<std::size_t>(width));
    }
    if (end > kMaxData) return false;
    built->buffers.push_back(std::move(offsets));
    built->buffers.push_back(bytes_of(in, end));
  } else if (kind == Kind::kView) {
    built->buffers.push_back(bytes_of(in, elements * 16));
    const std::uint64_t variadic = in.below(3);
    for (std::uint64_t b = 0; b < variadic; ++b) {
      built->buffers.push_back(bytes_of(in, static_cast<std::int64_t>(in.below(64))));
      built->variadic_sizes.push_back(static_cast<std::int64_t>(built->buffers.back().size()));
    }
  } else if (kind == Kind::kInt32 || kind == Kind::kDouble) {
    built->buffers.push_back(bytes_of(in, elements * (kind == Kind::kInt32 ? 4 : 8)));
  }
  for (auto& buffer : built->buffers) {
    built->pointers.push_back(buffer.empty() ? nullptr : buffer.data());
  }
  if (kind == Kind::kView && index < 0) built->pointers.push_back(built->variadic_sizes.data());
  out->n_buffers = static_cast<std::int64_t>(built->pointers.size());
  out->buffers = built->pointers.data();
  out->release = release_built;
  out->private_data = built.release();
  return depth < 2;
}

bool set_schema(ArrowSchema* schema, Kind kind, int index, bool binary) {
  static constexpr ArrowType kTypes[] = {NANOARROW_TYPE_STRING,      NANOARROW_TYPE_LARGE_STRING,
                                         NANOARROW_TYPE_STRING_VIEW, NANOARROW_TYPE_NA,
                                         NANOARROW_TYPE_INT32,       NANOARROW_TYPE_DOUBLE};
  static constexpr ArrowType kBinaryTypes[] = {
      NANOARROW_TYPE_BINARY, NANOARROW_TYPE_LARGE_BINARY, NANOARROW_TYPE_BINARY_VIEW,
      NANOARROW_TYPE_NA,     NANOARROW_TYPE_INT32,        NANOARROW_TYPE_DOUBLE};
  ArrowType type = (binary ? kBinaryTypes : kTypes)[static_cast<int>(kind)];
  if (index < 0) return ArrowSchemaInitFromType(schema, type) == NANOARROW_OK;
  return ArrowSchemaInitFromType(schema, kIndexTypes[index]) == NANOARROW_OK &&
         ArrowSchemaAllocateDictionary(schema) == NANOARROW_OK &&
         ArrowSchemaInitFromType(schema->dictionary, type) == NANOARROW_OK;
}

// Wraps a column array in a one-column struct, itself with a drawn slice.
void as_table(Draws& in, ArrowArray* column, ArrowArray* out) {
  auto built = std::make_unique<Built>();
  built->children_storage.push_back(*column);
  column->release = nullptr;
  built->children.push_back(&built->children_storage[0]);
  built->pointers.push_back(nullptr);
  std::memset(out, 0, sizeof *out);
  out->offset = static_cast<std::int64_t>(in.below(3));
  out->length = static_cast<std::int64_t>(in.below(
      static_cast<std::uint64_t>(std::max<std::int64_t>(1, built->children[0]->length + 2))));
  out->n_buffers = 1;
  out->buffers = built->pointers.data();
  out->n_children = 1;
  out->children = built->children.data();
  out->release = release_built;
  out->private_data = built.release();
}

// Every row read against nanoarrow's reading of the same array, validated; a column read
// as nulls only (the null type, a dictionary of nulls) is not validated, and all null.
void check_texts(const TextColumn& column, const ArrowSchema* schema, const ColumnArrays& arrays) {
  bool all_null = true;
  for (const TextChunk& chunk : column.chunks)
    all_null = all_null && chunk.layout == TextLayout::kNull;
  std::int64_t row = 0;
  for (const ColumnArrays::Part& part : arrays.parts) {
    OwnedView view;
    ArrowError error{};
    if (!all_null) {
      QV_FUZZ_CHECK(ArrowArrayViewInitFromSchema(view.get(), schema, &error) == NANOARROW_OK);
      QV_FUZZ_CHECK(ArrowArrayViewSetArray(view.get(), part.array, &error) == NANOARROW_OK);
    }
    for (std::int64_t r = 0; r < part.length; ++r, ++row) {
      std::optional<std::string_view> got;
      column.for_rows(row, row + 1,
                      [&](std::int64_t, std::optional<std::string_view> text) { got = text; });
      if (all_null) {
        QV_FUZZ_CHECK(!got);
        continue;
      }
      const ArrowArrayView* v = view.get();
      std::int64_t i = part.start + r;
      bool null = ArrowArrayViewIsNull(v, i);
      if (!null && v->dictionary != nullptr) {
        i = ArrowArrayViewGetIntUnsafe(v, i);
        v = v->dictionary;
        null = ArrowArrayViewIsNull(v, i);
      }
      QV_FUZZ_CHECK(got.has_value() == !null);
      if (null) continue;
      ArrowStringView want = ArrowArrayViewGetStringUnsafe(v, i);
      QV_FUZZ_CHECK(*got == std::string_view(want.data, static_cast<std::size_t>(want.size_bytes)));
    }
  }
  QV_FUZZ_CHECK(row == column.size());
}

// A number read as whole is the same number.
void check_numbers(const NumberColumn& column) {
  for (const NumberChunk& chunk : column.chunks) {
    for (std::int64_t r = 0; r < chunk.length; ++r) {
      std::int64_t whole = 0;
      if (chunk.is_null(r) || chunk.whole(r, whole) != Whole::kYes) continue;
      QV_FUZZ_CHECK(static_cast<double>(whole) == chunk.number(r));
    }
  }
}

void fuzz_flat(std::string_view bytes) {
  Read<SharedTable> table = unflatten(bytes);
  if (!table) return;
  QV_FUZZ_CHECK(flatten(*table.value()) == bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Draws in(data, size);
  const std::uint8_t mode = in.byte();
  if (mode % 8 == 7) {
    fuzz_flat(in.rest());
    return 0;
  }
  const auto kind = static_cast<Kind>(in.below(6));
  const bool texts = kind != Kind::kInt32 && kind != Kind::kDouble;
  const int index = texts && in.byte() % 2 == 0 ? static_cast<int>(in.below(8)) : -1;
  const bool table = mode & 1;
  const bool stream = mode & 2;
  const bool binary = mode & 8;  // bytes that must be UTF-8 text

  Imported imported;
  ArrowSchema column_schema{};
  if (!set_schema(&column_schema, kind, index, binary)) return 0;
  if (table) {
    ArrowSchemaInit(imported.schema.get());
    QV_FUZZ_CHECK(ArrowSchemaSetTypeStruct(imported.schema.get(), 1) == NANOARROW_OK);
    ArrowSchemaMove(&column_schema, imported.schema->children[0]);
    QV_FUZZ_CHECK(ArrowSchemaSetName(imported.schema->children[0], "c") == NANOARROW_OK);
  } else {
    ArrowSchemaMove(&column_schema, imported.schema.get());
  }

  const std::uint64_t arrays = stream ? in.below(4) : 1;
  std::vector<OwnedArray> built(arrays);
  for (OwnedArray& array : built) {
    ArrowArray column{};
    bool usable = build(in, kind, index, &column);
    if (table) {
      as_table(in, &column, array.get());
    } else {
      std::memcpy(array.get(), &column, sizeof column);
    }
    if (!usable) return 0;
  }
  if (stream) {
    // Through a stream: nanoarrow's basic stream hands the arrays over one by one.
    OwnedStream owned;
    OwnedSchema copy;
    QV_FUZZ_CHECK(ArrowSchemaDeepCopy(imported.schema.get(), copy.get()) == NANOARROW_OK);
    QV_FUZZ_CHECK(ArrowBasicArrayStreamInit(owned.get(), copy.get(),
                                            static_cast<std::int64_t>(arrays)) == NANOARROW_OK);
    copy->release = nullptr;  // the stream took it
    for (std::uint64_t i = 0; i < arrays; ++i) {
      ArrowBasicArrayStreamSetArray(owned.get(), static_cast<std::int64_t>(i), built[i].get());
      built[i]->release = nullptr;
    }
    Imported from_stream;
    QV_FUZZ_CHECK(!read_stream(*owned.get(), from_stream, "fuzz"));
    imported.arrays = std::move(from_stream.arrays);
  } else {
    for (OwnedArray& array : built) {
      imported.arrays.push_back(std::make_unique<OwnedArray>());
      imported.arrays.back()->take(array.get());
    }
  }

  Read<ColumnArrays> column = column_arrays(imported, table ? 0 : -1, "fuzz");
  if (!column) return 0;
  if (texts) {
    Store store;
    Read<TextColumn> read = read_texts(column.value(), "fuzz", store, Utf8::kUnchecked);
    if (read) {
      check_texts(read.value(), column.value().schema, column.value());
      // Checked as UTF-8, the column is refused exactly when a row that is not null is
      // not well-formed.
      bool well_formed = true;
      read.value().for_rows(0, read.value().size(),
                            [&](std::int64_t, std::optional<std::string_view> text) {
                              well_formed = well_formed && (!text || fuzz::valid_utf8(*text));
                            });
      QV_FUZZ_CHECK(static_cast<bool>(read_texts(column.value(), "fuzz", store)) == well_formed);
    }
  } else {
    Store store;
    Read<NumberColumn> read = read_numbers(column.value(), "fuzz", store);
    if (read) check_numbers(read.value());
  }
  return 0;
}
