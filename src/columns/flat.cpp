// columns/flat.cpp: a result table as one flat string of bytes and back.
//
// The form: "QVTABLE1", the schema (format, name, flags, children, dictionary), then the
// array (length, null count, offset, buffers as a size and its bytes, children,
// dictionary), each node after its parent. Integers are 8 bytes, little-endian; a
// missing name is a length of -1.
#include "columns/flat.h"

#include <cstdint>
#include <cstring>  // std::memcpy
#include <memory>

#include "cat.h"
#include "columns/arrow_output.h"

namespace quorvane::columns {
namespace {

constexpr std::string_view kMagic = "QVTABLE1";
// Deeper schemas than any result table has are refused rather than recursed into.
constexpr int kMaxDepth = 16;

void put_int(std::string& out, std::int64_t value) {
  char bytes[8];
  std::memcpy(bytes, &value, 8);  // little-endian: bytes.h asserts it
  out.append(bytes, 8);
}

void put_text(std::string& out, const char* text) {
  if (text == nullptr) {
    put_int(out, -1);
    return;
  }
  auto size = static_cast<std::int64_t>(std::strlen(text));
  put_int(out, size);
  out.append(text, static_cast<std::size_t>(size));
}

void put_schema(std::string& out, const ArrowSchema& schema) {
  put_text(out, schema.format);
  put_text(out, schema.name);
  put_int(out, schema.flags);
  put_int(out, schema.n_children);
  for (std::int64_t i = 0; i < schema.n_children; ++i) put_schema(out, *schema.children[i]);
  put_int(out, schema.dictionary != nullptr ? 1 : 0);
  if (schema.dictionary != nullptr) put_schema(out, *schema.dictionary);
}

// Buffer sizes are those nanoarrow keeps for the arrays it built.
void put_array(std::string& out, ArrowArray& array) {
  put_int(out, array.length);
  put_int(out, array.null_count);
  put_int(out, array.offset);
  put_int(out, array.n_buffers);
  for (std::int64_t i = 0; i < array.n_buffers; ++i) {
    const ArrowBuffer* buffer = ArrowArrayBuffer(&array, i);
    put_int(out, buffer->size_bytes);
    if (buffer->size_bytes > 0) {
      out.append(reinterpret_cast<const char*>(buffer->data),
                 static_cast<std::size_t>(buffer->size_bytes));
    }
  }
  for (std::int64_t i = 0; i < array.n_children; ++i) put_array(out, *array.children[i]);
  if (array.dictionary != nullptr) put_array(out, *array.dictionary);
}

// Reads the flat form front to back; every read is checked against the end.
class Bytes {
 public:
  explicit Bytes(std::string_view bytes) : rest_(bytes) {}

  bool take(std::size_t size, std::string_view& out) {
    if (size > rest_.size()) return false;
    out = rest_.substr(0, size);
    rest_.remove_prefix(size);
    return true;
  }
  bool integer(std::int64_t& out) {
    std::string_view bytes;
    if (!take(8, bytes)) return false;
    std::memcpy(&out, bytes.data(), 8);
    return true;
  }
  // A size: at least 0 and no larger than what is left.
  bool size(std::int64_t& out) {
    return integer(out) && out >= 0 && static_cast<std::uint64_t>(out) <= rest_.size();
  }
  // A text, or none (-1); out is then empty and `present` false. Texts become C
  // strings, so one holding a NUL byte is refused: it could not be written back.
  bool text(std::string& out, bool& present) {
    std::int64_t size = 0;
    if (!integer(size)) return false;
    present = size >= 0;
    if (!present) return size == -1;
    std::string_view bytes;
    if (!take(static_cast<std::size_t>(size), bytes) || bytes.find('\0') != bytes.npos) {
      return false;
    }
    out.assign(bytes);
    return true;
  }
  bool done() const noexcept { return rest_.empty(); }

 private:
  std::string_view rest_;
};

bool read_schema(Bytes& in, ArrowSchema* out, int depth) {
  std::string format, name;
  bool has_format = false, has_name = false;
  std::int64_t flags = 0, children = 0, dictionary = 0;
  if (depth > kMaxDepth || !in.text(format, has_format) || !has_format ||
      !in.text(name, has_name) || !in.integer(flags) || !in.size(children)) {
    return false;
  }
  ArrowSchemaInit(out);
  if (ArrowSchemaSetFormat(out, format.c_str()) != NANOARROW_OK ||
      ArrowSchemaSetName(out, has_name ? name.c_str() : nullptr) != NANOARROW_OK ||
      ArrowSchemaAllocateChildren(out, children) != NANOARROW_OK) {
    return false;
  }
  out->flags = flags;
  for (std::int64_t i = 0; i < children; ++i) {
    if (!read_schema(in, out->children[i], depth + 1)) return false;
  }
  if (!in.integer(dictionary) || (dictionary != 0 && dictionary != 1)) return false;
  if (dictionary == 0) return true;
  return ArrowSchemaAllocateDictionary(out) == NANOARROW_OK &&
         read_schema(in, out->dictionary, depth + 1);
}

// Fills an array that ArrowArrayInitFromSchema made, node by node as the schema goes.
bool read_array(Bytes& in, ArrowArray* out) {
  std::int64_t buffers = 0;
  if (!in.integer(out->length) || !in.integer(out->null_count) || !in.integer(out->offset) ||
      !in.integer(buffers) || buffers != out->n_buffers) {
    return false;
  }
  for (std::int64_t i = 0; i < buffers; ++i) {
    std::int64_t size = 0;
    std::string_view bytes;
    if (!in.size(size) || !in.take(static_cast<std::size_t>(size), bytes)) return false;
    check_arrow(ArrowBufferAppend(ArrowArrayBuffer(out, i), bytes.data(), size));
  }
  for (std::int64_t i = 0; i < out->n_children; ++i) {
    if (!read_array(in, out->children[i])) return false;
  }
  return out->dictionary == nullptr || read_array(in, out->dictionary);
}

}  // namespace

std::string flatten(const Table& table) {
  std::string out(kMagic);
  put_schema(out, *table.schema.get());
  // nanoarrow's accessors take the array as mutable; nothing is changed.
  put_array(out, *const_cast<ArrowArray*>(table.array.get()));
  return out;
}

Read<SharedTable> unflatten(std::string_view bytes) {
  auto malformed = [](std::string_view why) {
    return ReadFailure{ReadFailure::Kind::kValue, cat("not the bytes of a Table: ", why)};
  };
  Bytes in(bytes);
  std::string_view magic;
  if (!in.take(kMagic.size(), magic) || magic != kMagic) return malformed("no header");
  auto table = std::make_shared<Table>();
  if (!read_schema(in, table->schema.get(), 0)) return malformed("a broken schema");
  ArrowError error{};
  if (table->schema->format == nullptr || std::string_view(table->schema->format) != "+s" ||
      ArrowArrayInitFromSchema(table->array.get(), table->schema.get(), &error) != NANOARROW_OK) {
    return malformed("a schema that is no table");
  }
  if (!read_array(in, table->array.get()) || !in.done() || !extents_in_range(table->array.get())) {
    return malformed("broken arrays");
  }
  if (ArrowArrayFinishBuilding(table->array.get(), NANOARROW_VALIDATION_LEVEL_FULL, &error) !=
      NANOARROW_OK) {
    return malformed(error.message);
  }
  return SharedTable(std::move(table));
}

}  // namespace quorvane::columns
