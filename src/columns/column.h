// columns/column.h: read-only views of string and number columns in the Arrow layouts.
#pragma once

#include <cstdint>
#include <cstring>  // std::memcpy
#include <optional>
#include <string_view>
#include <utility>  // std::pair
#include <vector>

#include "bytes.h"

namespace quorvane::columns {

/// The fields of a 16-byte Arrow string view: its size, then either the bytes inline
/// (size <= 12), or a 4-byte prefix, the index of a variadic buffer and an offset into it.
struct ViewFields {
  std::int32_t size;
  std::int32_t buffer;  // only when size > 12
  std::int32_t at;      // only when size > 12

  static ViewFields of(const char* view) noexcept {
    auto i32 = [](const char* p) {
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(bytes::load32(p)));
    };
    return {i32(view), i32(view + 8), i32(view + 12)};
  }
};

/// How a chunk stores its strings: 32- or 64-bit offsets into one data buffer (utf8,
/// large_utf8), or 16-byte views (string_view) that hold up to 12 bytes inline and point
/// into variadic data buffers otherwise.
enum class TextLayout : std::uint8_t { kOffsets32, kOffsets64, kViews };

/// One chunk of a string column, over buffers someone else owns and keeps alive. Made
/// only from arrays that passed full validation, so every access below stays inside its
/// buffers without further checks. Row i of the chunk is element `offset + i`.
struct TextChunk {
  TextLayout layout = TextLayout::kOffsets32;
  std::int64_t offset = 0;
  std::int64_t length = 0;
  const std::uint8_t* validity = nullptr;  // a bit per element, or null: no nulls
  const void* offsets = nullptr;           // int32 or int64 offsets, or 16-byte views
  const char* data = nullptr;              // the data buffer of the offset layouts
  const char* const* variadic = nullptr;   // the data buffers that views point into

  bool is_null(std::int64_t row) const noexcept {
    if (validity == nullptr) return false;
    std::int64_t i = offset + row;
    return ((validity[i >> 3] >> (i & 7)) & 1) == 0;
  }

  /// The bytes of row `row` (empty for a null row with no bytes).
  std::string_view text(std::int64_t row) const noexcept {
    std::int64_t i = offset + row;
    switch (layout) {
      case TextLayout::kOffsets32: {
        const auto* o = static_cast<const std::int32_t*>(offsets);
        return {data + o[i], static_cast<std::size_t>(o[i + 1] - o[i])};
      }
      case TextLayout::kOffsets64: {
        const auto* o = static_cast<const std::int64_t*>(offsets);
        return {data + o[i], static_cast<std::size_t>(o[i + 1] - o[i])};
      }
      case TextLayout::kViews: {
        const char* view = static_cast<const char*>(offsets) + 16 * i;
        ViewFields f = ViewFields::of(view);
        if (f.size <= 12) return {view + 4, static_cast<std::size_t>(f.size)};
        return {variadic[f.buffer] + f.at, static_cast<std::size_t>(f.size)};
      }
    }
    return {};
  }

  std::optional<std::string_view> at(std::int64_t row) const noexcept {
    if (is_null(row)) return std::nullopt;
    return text(row);
  }
};

/// A whole column: its chunks in order.
struct TextColumn {
  std::vector<TextChunk> chunks;

  std::int64_t size() const noexcept {
    std::int64_t n = 0;
    for (const TextChunk& c : chunks) n += c.length;
    return n;
  }

  /// Calls `visit(row, std::optional<std::string_view>)` for rows [begin, end) of the
  /// whole column, in order.
  template <class Visit>
  void for_rows(std::int64_t begin, std::int64_t end, Visit&& visit) const {
    std::int64_t base = 0;
    for (const TextChunk& c : chunks) {
      std::int64_t lo = begin > base ? begin - base : 0;
      std::int64_t hi = end - base < c.length ? end - base : c.length;
      for (std::int64_t r = lo; r < hi; ++r) visit(base + r, c.at(r));
      base += c.length;
      if (base >= end) break;
    }
  }
};

/// The number types a column may hold.
enum class NumberType : std::uint8_t { kI8, kI16, kI32, kI64, kU8, kU16, kU32, kU64, kF32, kF64 };

/// One chunk of a number column, over validated buffers someone else owns.
struct NumberChunk {
  NumberType type = NumberType::kF64;
  std::int64_t offset = 0;
  std::int64_t length = 0;
  const std::uint8_t* validity = nullptr;
  const void* values = nullptr;

  bool is_null(std::int64_t row) const noexcept {
    if (validity == nullptr) return false;
    std::int64_t i = offset + row;
    return ((validity[i >> 3] >> (i & 7)) & 1) == 0;
  }

  template <class T>
  T load(std::int64_t i) const noexcept {
    T v;
    std::memcpy(&v, static_cast<const char*>(values) + i * static_cast<std::int64_t>(sizeof v),
                sizeof v);
    return v;
  }

  /// Row `row` as a double (64-bit integers beyond 2^53 round to nearest).
  double number(std::int64_t row) const noexcept {
    std::int64_t i = offset + row;
    switch (type) {
      case NumberType::kI8:
        return load<std::int8_t>(i);
      case NumberType::kI16:
        return load<std::int16_t>(i);
      case NumberType::kI32:
        return load<std::int32_t>(i);
      case NumberType::kI64:
        return static_cast<double>(load<std::int64_t>(i));
      case NumberType::kU8:
        return load<std::uint8_t>(i);
      case NumberType::kU16:
        return load<std::uint16_t>(i);
      case NumberType::kU32:
        return load<std::uint32_t>(i);
      case NumberType::kU64:
        return static_cast<double>(load<std::uint64_t>(i));
      case NumberType::kF32:
        return load<float>(i);
      case NumberType::kF64:
        return load<double>(i);
    }
    return 0.0;
  }

  bool is_integer() const noexcept { return type != NumberType::kF32 && type != NumberType::kF64; }
};

/// A whole number column: its chunks in order.
struct NumberColumn {
  std::vector<NumberChunk> chunks;

  std::int64_t size() const noexcept {
    std::int64_t n = 0;
    for (const NumberChunk& c : chunks) n += c.length;
    return n;
  }
};

/// Sequential reader of a chunked column, row after row, so that finding a row's chunk
/// costs nothing per row.
template <class Chunk>
class RowCursor {
 public:
  /// A cursor whose first next() gives row `first` of the column.
  explicit RowCursor(const std::vector<Chunk>& chunks, std::int64_t first = 0) noexcept
      : chunks_(chunks), row_(first) {}

  /// Moves to the next row and returns its chunk and its row within the chunk; call it
  /// at most once per row of the column.
  std::pair<const Chunk*, std::int64_t> next() noexcept {
    while (row_ >= chunks_[chunk_].length) {
      row_ -= chunks_[chunk_].length;
      ++chunk_;
    }
    return {&chunks_[chunk_], row_++};
  }

 private:
  const std::vector<Chunk>& chunks_;
  std::size_t chunk_ = 0;
  std::int64_t row_ = 0;
};

}  // namespace quorvane::columns
