// columns/arrow_output.cpp: building result tables with nanoarrow, without Python.
#include "columns/arrow_output.h"

#include <sys/mman.h>  // madvise

#include <atomic>
#include <cerrno>   // ENOMEM, EOVERFLOW
#include <cstdlib>  // posix_memalign, std::free
#include <cstring>
#include <new>  // std::bad_alloc

#include "fault.h"

namespace quorvane::columns {

void check_arrow(int code) {
  if (code == ENOMEM) throw std::bad_alloc();
  QV_ASSERT(code == NANOARROW_OK, "building an Arrow result failed");
}

TableBuilder::TableBuilder(const std::vector<ColumnShape>& columns)
    : table_(std::make_shared<Table>()) {
  ArrowSchema* schema = table_->schema.get();
  ArrowSchemaInit(schema);
  check_arrow(ArrowSchemaSetTypeStruct(schema, static_cast<std::int64_t>(columns.size())));
  std::int64_t i = 0;
  for (const ColumnShape& shape : columns) {
    columns_.push_back({shape.name, shape.kind, shape.nullable});
    ArrowSchema* child = schema->children[i++];
    switch (shape.kind) {
      case ColumnKind::kInt32:
        check_arrow(ArrowSchemaSetType(child, NANOARROW_TYPE_INT32));
        break;
      case ColumnKind::kInt64:
        check_arrow(ArrowSchemaSetType(child, NANOARROW_TYPE_INT64));
        break;
      case ColumnKind::kDouble:
        check_arrow(ArrowSchemaSetType(child, NANOARROW_TYPE_DOUBLE));
        break;
      case ColumnKind::kText:
        check_arrow(ArrowSchemaSetType(child, NANOARROW_TYPE_STRING));
        break;
      case ColumnKind::kDictionary:
        check_arrow(ArrowSchemaSetType(child, NANOARROW_TYPE_INT32));
        check_arrow(ArrowSchemaAllocateDictionary(child));
        check_arrow(ArrowSchemaInitFromType(child->dictionary, NANOARROW_TYPE_STRING));
        break;
      case ColumnKind::kTextList:
        check_arrow(ArrowSchemaSetType(child, NANOARROW_TYPE_LIST));
        check_arrow(ArrowSchemaSetType(child->children[0], NANOARROW_TYPE_STRING));
        break;
    }
    check_arrow(ArrowSchemaSetName(child, shape.name.c_str()));
  }
  ArrowError error{};
  check_arrow(ArrowArrayInitFromSchema(table_->array.get(), schema, &error));
  check_arrow(ArrowArrayStartAppending(table_->array.get()));
  // The buffers' structures stay where they are as the buffers grow: `put` writes
  // through them without looking them up.
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    ArrowArray* array = column(static_cast<std::int64_t>(c));
    columns_[c].data = ArrowArrayBuffer(array, 1);
    if (columns_[c].nullable) columns_[c].bits = ArrowArrayValidityBitmap(array);
  }
}

namespace {

constexpr std::int64_t kHugePage = std::int64_t{2} << 20;

/// Large result columns freed by their owners, kept for the next call's. Memory handed
/// back to the system comes back as page faults that zero it again, and a caller that
/// categorises batch after batch (a loop, a cluster's partitions) frees one call's columns
/// before asking for the next's, of the same sizes. Two threads faulting in the same
/// process wait on each other: on this kind of machine that took a third of a two-thread
/// call over a million rows. At most kKeptPages huge pages are kept, a column to a slot.
/// A slot is one atomic word, the block's address (on a huge page's boundary) with its
/// count of huge pages in the low bits, so a column may be freed on any thread without a
/// lock (none to be left held across a fork).
class KeptBlocks {
 public:
  struct Block {
    void* memory = nullptr;
    std::int64_t pages = 0;
  };

  /// A kept block of `pages` huge pages, or of at most an eighth more; none if there is
  /// no such block.
  Block take(std::int64_t pages) noexcept {
    for (std::atomic<std::uintptr_t>& slot : slots_) {
      std::uintptr_t held = slot.load(std::memory_order_relaxed);
      const auto size = static_cast<std::int64_t>(held & kPagesMask);
      if (held == 0 || size < pages || size - pages > pages / 8) continue;
      if (slot.compare_exchange_strong(held, 0, std::memory_order_acquire)) {
        kept_.fetch_sub(size, std::memory_order_relaxed);
        return {reinterpret_cast<void*>(held & ~kPagesMask), size};
      }
    }
    return {};
  }

  /// Keeps `memory` (`pages` huge pages) if there is room, else frees it.
  void give(void* memory, std::int64_t pages) noexcept {
    const auto held = reinterpret_cast<std::uintptr_t>(memory) | static_cast<std::uintptr_t>(pages);
    if (kept_.fetch_add(pages, std::memory_order_relaxed) + pages <= kKeptPages &&
        (held & ~kPagesMask) == reinterpret_cast<std::uintptr_t>(memory)) {
      for (std::atomic<std::uintptr_t>& slot : slots_) {
        std::uintptr_t empty = 0;
        if (slot.compare_exchange_strong(empty, held, std::memory_order_release)) return;
      }
    }
    kept_.fetch_sub(pages, std::memory_order_relaxed);
    std::free(memory);
  }

 private:
  static constexpr std::int64_t kKeptPages = 32;  // 64 MiB
  static constexpr std::uintptr_t kPagesMask = kHugePage - 1;
  std::atomic<std::uintptr_t> slots_[8] = {};
  std::atomic<std::int64_t> kept_ = 0;
};

KeptBlocks kept_blocks;

/// Frees a column of whole huge pages into `kept_blocks`; `size` is its capacity.
void free_kept(ArrowBufferAllocator*, std::uint8_t* ptr, std::int64_t size) {
  kept_blocks.give(ptr, size / kHugePage);
}

}  // namespace

std::int32_t* TableBuilder::int32s(std::int64_t i, std::int64_t rows) {
  ArrowBuffer* data = ArrowArrayBuffer(column(i), 1);
  const std::int64_t bytes = rows * 4;
  if (bytes < kHugePage) {
    check_arrow(ArrowBufferResize(data, bytes, 0));
    return reinterpret_cast<std::int32_t*>(data->data);
  }
  // A large column is written once, in place, on new memory: in pages of 4 KiB that is a
  // page fault every thousand rows, which took a tenth of categorisation's time. So the
  // column starts on a huge page's boundary and its whole huge pages are asked for as
  // such. The rest, under one, is a huge page too where that costs at most an eighth more
  // memory (a million rows' 4 MB column: 5% more); otherwise it stays in small pages, of
  // which those past the column are never touched. (Left in small pages, the tails of a
  // million-row categorisation's three columns took 1,400 page faults, 3 ms of a 27 ms
  // call.) The block is whole huge pages either way, so that it can be kept once freed.
  const std::int64_t pages = (bytes + kHugePage - 1) / kHugePage;
  KeptBlocks::Block block = kept_blocks.take(pages);
  if (block.memory == nullptr) {
    block.pages = pages;
    if (posix_memalign(&block.memory, kHugePage, static_cast<std::size_t>(pages * kHugePage)) !=
        0) {
      throw std::bad_alloc();
    }
    const std::int64_t huge = pages * kHugePage - bytes <= bytes / 8 ? pages : bytes / kHugePage;
    (void)madvise(block.memory, static_cast<std::size_t>(huge * kHugePage), MADV_HUGEPAGE);
  }
  ArrowBufferReset(data);
  data->data = static_cast<std::uint8_t*>(block.memory);
  data->size_bytes = bytes;
  data->capacity_bytes = block.pages * kHugePage;
  data->allocator = ArrowBufferDeallocator(&free_kept, nullptr);
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
  columns_[static_cast<std::size_t>(i)].filled = true;
}

void TableBuilder::reserve_rows(std::int64_t rows) {
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    const Column& c = columns_[i];
    std::int64_t width = c.kind == ColumnKind::kInt32                                    ? 4
                         : c.kind == ColumnKind::kInt64 || c.kind == ColumnKind::kDouble ? 8
                                                                                         : 0;
    if (width == 0) continue;
    ArrowArray* array = column(static_cast<std::int64_t>(i));
    check_arrow(ArrowBufferReserve(ArrowArrayBuffer(array, 1), rows * width));
    if (c.nullable) check_arrow(ArrowBitmapReserve(ArrowArrayValidityBitmap(array), rows));
  }
}

void TableBuilder::put_null(std::int64_t i) noexcept {
  Column& c = columns_[static_cast<std::size_t>(i)];
  const std::int64_t zero = 0;
  ArrowBufferAppendUnsafe(c.data, &zero, c.kind == ColumnKind::kInt32 ? 4 : 8);
  ArrowBitmapAppendUnsafe(c.bits, 0, 1);
  ++c.nulls;
}

void TableBuilder::append_string(ArrowArray* array, std::string_view text, std::int64_t i) {
  const int code =
      ArrowArrayAppendString(array, {text.data(), static_cast<std::int64_t>(text.size())});
  if (code == EOVERFLOW) {  // 32-bit offsets
    throw ResultTooLarge("the result's column '" + columns_[static_cast<std::size_t>(i)].name +
                         "' would hold more than 2 GiB of text, the most an Arrow string "
                         "column holds: give the input in parts");
  }
  check_arrow(code);
}

void TableBuilder::append_null(std::int64_t i) { check_arrow(ArrowArrayAppendNull(column(i), 1)); }

std::shared_ptr<const Table> TableBuilder::finish(std::int64_t rows) {
  ArrowArray* array = table_->array.get();
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    const Column& c = columns_[i];
    bool fixed = c.kind == ColumnKind::kInt32 || c.kind == ColumnKind::kInt64 ||
                 c.kind == ColumnKind::kDouble;
    if (fixed && !c.filled) set_filled(static_cast<std::int64_t>(i), rows, c.nulls);
  }
  array->length = rows;
  array->null_count = 0;
  ArrowError error{};
  check_arrow(ArrowArrayFinishBuildingDefault(array, &error));
  return std::move(table_);
}

}  // namespace quorvane::columns
