// columns/arrow_output.cpp: building result tables with nanoarrow, without Python.
#include "columns/arrow_output.h"

#include <cerrno>  // ENOMEM
#include <cstring>
#include <new>  // std::bad_alloc

#include "fault.h"

namespace quorvane::columns {

void check_arrow(int code) {
  if (code == ENOMEM) throw std::bad_alloc();
  QV_ASSERT(code == NANOARROW_OK, "building an Arrow result failed");
}

void append_int(ArrowArray* column, std::int64_t value) {
  check_arrow(ArrowArrayAppendInt(column, value));
}

void append_double(ArrowArray* column, std::optional<double> value) {
  check_arrow(value ? ArrowArrayAppendDouble(column, *value) : ArrowArrayAppendNull(column, 1));
}

void append_null(ArrowArray* column) { check_arrow(ArrowArrayAppendNull(column, 1)); }

void append_text(ArrowArray* column, std::string_view text) {
  ArrowStringView view{text.data(), static_cast<std::int64_t>(text.size())};
  check_arrow(ArrowArrayAppendString(column, view));
}

TableBuilder::TableBuilder(std::initializer_list<ColumnShape> columns)
    : table_(std::make_shared<Table>()) {
  ArrowSchema* schema = table_->schema.get();
  ArrowSchemaInit(schema);
  check_arrow(ArrowSchemaSetTypeStruct(schema, static_cast<std::int64_t>(columns.size())));
  std::int64_t i = 0;
  for (const ColumnShape& shape : columns) {
    kinds_.push_back(shape.kind);
    ArrowSchema* child = schema->children[i++];
    switch (shape.kind) {
      case ColumnKind::kInt32:
        check_arrow(ArrowSchemaSetType(child, NANOARROW_TYPE_INT32));
        break;
      case ColumnKind::kInt64:
        check_arrow(ArrowSchemaSetType(child, NANOARROW_TYPE_INT64));
        break;
      case ColumnKind::kText:
        check_arrow(ArrowSchemaSetType(child, NANOARROW_TYPE_STRING));
        break;
      case ColumnKind::kDictionary:
        check_arrow(ArrowSchemaSetType(child, NANOARROW_TYPE_INT32));
        check_arrow(ArrowSchemaAllocateDictionary(child));
        check_arrow(ArrowSchemaInitFromType(child->dictionary, NANOARROW_TYPE_STRING));
        break;
      case ColumnKind::kFloat64:
        check_arrow(ArrowSchemaSetType(child, NANOARROW_TYPE_DOUBLE));
        break;
      case ColumnKind::kTextList:
        check_arrow(ArrowSchemaSetType(child, NANOARROW_TYPE_LIST));
        check_arrow(ArrowSchemaSetType(child->children[0], NANOARROW_TYPE_STRING));
        break;
    }
    check_arrow(ArrowSchemaSetName(child, shape.name));
  }
  ArrowError error{};
  check_arrow(ArrowArrayInitFromSchema(table_->array.get(), schema, &error));
  check_arrow(ArrowArrayStartAppending(table_->array.get()));
}

std::int32_t* TableBuilder::int32s(std::int64_t i, std::int64_t rows) {
  ArrowBuffer* data = ArrowArrayBuffer(column(i), 1);
  check_arrow(ArrowBufferResize(data, rows * 4, 0));
  return reinterpret_cast<std::int32_t*>(data->data);
}

std::uint8_t* TableBuilder::validity(std::int64_t i, std::int64_t rows) {
  ArrowBitmap* bits = ArrowArrayValidityBitmap(column(i));
  check_arrow(ArrowBitmapResize(bits, rows, 0));
  bits->size_bits = rows;
  if (bits->buffer.size_bytes > 0) {  // an empty buffer has no data pointer
    std::memset(bits->buffer.data, 0, static_cast<std::size_t>(bits->buffer.size_bytes));
  }
  return bits->buffer.data;
}

void TableBuilder::set_filled(std::int64_t i, std::int64_t rows, std::int64_t nulls) noexcept {
  column(i)->length = rows;
  column(i)->null_count = nulls;
}

void TableBuilder::reserve_rows(std::int64_t rows, std::initializer_list<std::int64_t> nullable) {
  for (std::size_t i = 0; i < kinds_.size(); ++i) {
    std::int64_t width = kinds_[i] == ColumnKind::kInt64   ? 8
                         : kinds_[i] == ColumnKind::kInt32 ? 4
                                                           : 0;
    if (width > 0) {
      check_arrow(ArrowBufferReserve(ArrowArrayBuffer(column(static_cast<std::int64_t>(i)), 1),
                                     rows * width));
    }
  }
  for (std::int64_t i : nullable)
    check_arrow(ArrowBitmapReserve(ArrowArrayValidityBitmap(column(i)), rows));
}

std::shared_ptr<const Table> TableBuilder::finish(std::int64_t rows) {
  ArrowArray* array = table_->array.get();
  array->length = rows;
  array->null_count = 0;
  ArrowError error{};
  check_arrow(ArrowArrayFinishBuildingDefault(array, &error));
  return std::move(table_);
}

}  // namespace quorvane::columns
