// columns/column.h: read-only views of string and number columns in the Arrow layouts.
#pragma once

#include <algorithm>  // std::min, std::copy
#include <array>
#include <charconv>  // std::from_chars, std::to_chars
#include <cmath>     // std::isfinite, std::trunc, std::pow, std::abs, HUGE_VAL
#include <cstdint>
#include <cstring>   // std::memcpy
#include <iterator>  // std::end
#include <optional>
#include <string>
#include <string_view>
#include <utility>  // std::pair
#include <vector>

#include "bytes.h"

namespace quorvane::columns {

namespace detail {

/// Bit `i` of an Arrow bitmap (least significant bit first).
inline bool bit(const std::uint8_t* bits, std::int64_t i) noexcept {
  return ((bits[i >> 3] >> (i & 7)) & 1) != 0;
}

/// Element `i` of an array of T at `base`, any alignment.
template <class T>
T load(const void* base, std::int64_t i) noexcept {
  T value;
  std::memcpy(&value, static_cast<const char*>(base) + i * static_cast<std::int64_t>(sizeof value),
              sizeof value);
  return value;
}

}  // namespace detail

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
/// large_utf8); 16-byte views (string_view) that hold up to 12 bytes inline and point
/// into variadic data buffers otherwise; integer indices into a dictionary of strings,
/// read once per chunk into `words`; or nothing at all (the null type: every row null).
enum class TextLayout : std::uint8_t { kOffsets32, kOffsets64, kViews, kDictionary, kNull };

/// The number types a column may hold (also the types of a dictionary's indices);
/// kNull is the null type (every row null).
enum class NumberType : std::uint8_t {
  kI8,
  kU8,
  kI16,
  kU16,
  kI32,
  kU32,
  kI64,
  kU64,
  kF32,
  kF64,
  kNull
};

/// Calls `f(T{})` with a value of the C++ type that `type` stores, so that a loop over
/// values is compiled once per type instead of deciding the type per row (kNull, which
/// stores nothing, gives double).
template <class F>
decltype(auto) with_number_type(NumberType type, F&& f) {
  switch (type) {
    case NumberType::kI8:
      return f(std::int8_t{});
    case NumberType::kU8:
      return f(std::uint8_t{});
    case NumberType::kI16:
      return f(std::int16_t{});
    case NumberType::kU16:
      return f(std::uint16_t{});
    case NumberType::kI32:
      return f(std::int32_t{});
    case NumberType::kU32:
      return f(std::uint32_t{});
    case NumberType::kI64:
      return f(std::int64_t{});
    case NumberType::kU64:
      return f(std::uint64_t{});
    case NumberType::kF32:
      return f(float{});
    case NumberType::kF64:
    case NumberType::kNull:
      break;
  }
  return f(double{});
}

/// One chunk of a string column, over buffers someone else owns and keeps alive. Made
/// only from arrays that passed full validation (dictionary indices inside their
/// dictionary included), so every access below stays inside its buffers without further
/// checks. Row i of the chunk is element `offset + i`.
struct TextChunk {
  TextLayout layout = TextLayout::kOffsets32;
  NumberType index = NumberType::kI32;  // kDictionary: the indices' type
  std::int64_t offset = 0;
  std::int64_t length = 0;
  const std::uint8_t* validity = nullptr;   // a bit per element, or null: no nulls
  const void* values = nullptr;             // offsets, 16-byte views or dictionary indices
  const char* data = nullptr;               // the data buffer of the offset layouts
  const char* const* variadic = nullptr;    // the data buffers that views point into
  const std::string_view* words = nullptr;  // kDictionary: the dictionary's strings

  bool is_null(std::int64_t row) const noexcept {
    if (layout == TextLayout::kNull) return true;
    return validity != nullptr && !detail::bit(validity, offset + row);
  }

  /// The bytes of element `i` (not row: the offset is already added), which is not null.
  std::string_view element(std::int64_t i) const noexcept {
    switch (layout) {
      case TextLayout::kOffsets32:
        return offsets_text<std::int32_t>(i);
      case TextLayout::kOffsets64:
        return offsets_text<std::int64_t>(i);
      case TextLayout::kViews:
        return view_text(i);
      case TextLayout::kDictionary:
        return with_number_type(index, [&](auto type) { return word<decltype(type)>(i); });
      case TextLayout::kNull:
        break;
    }
    return {};
  }

  /// The bytes of row `row` (empty for a null row).
  std::string_view text(std::int64_t row) const noexcept {
    return is_null(row) ? std::string_view() : element(offset + row);
  }

  std::optional<std::string_view> at(std::int64_t row) const noexcept {
    if (is_null(row)) return std::nullopt;
    return element(offset + row);
  }

  /// Calls `visit(base + row, std::optional<std::string_view>)` for rows [lo, hi) of the
  /// chunk. The layout is decided once for the whole range: each layout has its own loop.
  template <class Visit>
  void for_rows(std::int64_t lo, std::int64_t hi, std::int64_t base, Visit&& visit) const {
    auto each = [&](auto&& text_of) {
      for (std::int64_t r = lo; r < hi; ++r) {
        std::int64_t i = offset + r;
        if (validity != nullptr && !detail::bit(validity, i)) {
          visit(base + r, std::optional<std::string_view>());
        } else {
          visit(base + r, std::optional<std::string_view>(text_of(i)));
        }
      }
    };
    switch (layout) {
      case TextLayout::kOffsets32:
        return each([&](std::int64_t i) { return offsets_text<std::int32_t>(i); });
      case TextLayout::kOffsets64:
        return each([&](std::int64_t i) { return offsets_text<std::int64_t>(i); });
      case TextLayout::kViews:
        return each([&](std::int64_t i) { return view_text(i); });
      case TextLayout::kDictionary:
        return with_number_type(index, [&](auto type) {
          each([&](std::int64_t i) { return word<decltype(type)>(i); });
        });
      case TextLayout::kNull:
        for (std::int64_t r = lo; r < hi; ++r) visit(base + r, std::optional<std::string_view>());
        return;
    }
  }

 private:
  template <class Offset>
  std::string_view offsets_text(std::int64_t i) const noexcept {
    const auto* o = static_cast<const Offset*>(values);
    return {data + o[i], static_cast<std::size_t>(o[i + 1] - o[i])};
  }
  std::string_view view_text(std::int64_t i) const noexcept {
    const char* view = static_cast<const char*>(values) + 16 * i;
    ViewFields f = ViewFields::of(view);
    if (f.size <= 12) return {view + 4, static_cast<std::size_t>(f.size)};
    return {variadic[f.buffer] + f.at, static_cast<std::size_t>(f.size)};
  }
  template <class Index>
  std::string_view word(std::int64_t i) const noexcept {
    return words[static_cast<std::size_t>(detail::load<Index>(values, i))];
  }
};

/// A whole column: its chunks in order.
struct TextColumn {
  std::vector<TextChunk> chunks;
  /// Empty when every row is known to be well-formed UTF-8. Otherwise the rows are left to
  /// whoever reads them as text: an engine that lowers them checks those holding a byte
  /// >= 0x80 as it does (Categorizer::kMalformed), and this is the label its failure
  /// starts with.
  std::string unchecked;

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
      if (base >= end) break;
      std::int64_t lo = begin > base ? begin - base : 0;
      std::int64_t hi = end - base < c.length ? end - base : c.length;
      if (lo < hi) c.for_rows(lo, hi, base, visit);
      base += c.length;
    }
  }

  /// The first null row, or -1.
  std::int64_t first_null() const noexcept {
    std::int64_t base = 0;
    for (const TextChunk& c : chunks) {
      if (c.layout == TextLayout::kNull || c.validity != nullptr) {
        for (std::int64_t r = 0; r < c.length; ++r) {
          if (c.is_null(r)) return base + r;
        }
      }
      base += c.length;
    }
    return -1;
  }
};

/// A number read as a whole number (see NumberChunk::whole).
enum class Whole : std::uint8_t {
  kYes,       // the value, in a signed 64-bit integer
  kNotWhole,  // a float with a fraction, or not finite
  kTooLarge,  // beyond the signed 64-bit range
};

namespace detail {

/// A decimal's unscaled integer as a sign and a magnitude of `Words` 64-bit words, least
/// significant first: two hold decimal32 to decimal128 (up to 38 digits), four decimal256
/// (up to 76). Everything below is written once for both widths.
template <std::size_t Words>
struct Unscaled {
  bool negative = false;
  std::array<std::uint64_t, Words> magnitude{};

  bool is_zero() const noexcept {
    for (std::uint64_t word : magnitude) {
      if (word != 0) return false;
    }
    return true;
  }

  /// The magnitude, when it fits in one word.
  std::optional<std::uint64_t> word() const noexcept {
    for (std::size_t k = 1; k < Words; ++k) {
      if (magnitude[k] != 0) return std::nullopt;
    }
    return magnitude[0];
  }

  /// Divides the magnitude by `divisor` (not zero) and returns the remainder.
  std::uint64_t divide(std::uint64_t divisor) noexcept {
    __extension__ using UInt128 = unsigned __int128;
    std::uint64_t rest = 0;
    for (std::size_t k = Words; k-- > 0;) {
      if (rest == 0) {  // the word alone: a 64-bit division, which costs a fraction
        rest = magnitude[k] % divisor;
        magnitude[k] /= divisor;
        continue;
      }
      const UInt128 part = static_cast<UInt128>(rest) << 64 | magnitude[k];
      magnitude[k] = static_cast<std::uint64_t>(part / divisor);
      rest = static_cast<std::uint64_t>(part % divisor);
    }
    return rest;
  }
};

/// 10^k, for 0 <= k <= 19 (the largest power of ten in 64 bits).
constexpr std::uint64_t ten_to(int k) noexcept {
  std::uint64_t power = 1;
  for (; k > 0; --k) power *= 10;
  return power;
}

/// Value `i` of an array of little-endian two's complement integers of `bytes` bytes (4,
/// 8, 16, or 32 where Words is 4): Arrow's decimals.
template <std::size_t Words>
Unscaled<Words> load_decimal(const void* base, std::int64_t i, unsigned bytes) noexcept {
  std::array<std::uint64_t, Words> bits{};
  std::size_t stored = 1;  // the words the value has in memory; the others extend its sign
  if (bytes == 4) {
    bits[0] = static_cast<std::uint64_t>(std::int64_t{load<std::int32_t>(base, i)});
  } else if (bytes == 8) {
    bits[0] = load<std::uint64_t>(base, i);
  } else {
    const std::int64_t words = bytes / 8;
    stored = std::min<std::size_t>(static_cast<std::size_t>(words), Words);
    for (std::size_t k = 0; k < stored; ++k) {
      bits[k] = load<std::uint64_t>(base, i * words + static_cast<std::int64_t>(k));
    }
  }
  Unscaled<Words> out;
  out.negative = (bits[stored - 1] >> 63) != 0;
  for (std::size_t k = stored; k < Words; ++k) bits[k] = out.negative ? ~std::uint64_t{0} : 0;
  if (out.negative) {  // the magnitude is the complement plus one
    bool carry = true;
    for (std::uint64_t& word : bits) {
      word = ~word + (carry ? 1 : 0);
      carry = carry && word == 0;
    }
  }
  out.magnitude = bits;
  return out;
}

/// The double nearest to `unscaled` x 10^-scale. Where both are exact doubles (below 2^53,
/// and 10^|scale| up to 10^22), one division or product, which rounds correctly; otherwise
/// the value's decimal text, which from_chars reads to the nearest double too.
template <std::size_t Words>
double decimal_value(Unscaled<Words> unscaled, int scale) noexcept {
  const std::optional<std::uint64_t> small = unscaled.word();
  if (small && *small < (std::uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
    const double power = std::pow(10.0, std::abs(scale));  // exact up to 10^22
    const double value =
        unscaled.negative ? -static_cast<double>(*small) : static_cast<double>(*small);
    return scale >= 0 ? value / power : value * power;
  }
  // The digits, last first, nineteen per division of the whole magnitude.
  constexpr std::uint64_t kNineteen = ten_to(19);
  char digits[20 * Words];  // a word holds 20 digits at most
  char* first = std::end(digits);
  for (bool more = true; more;) {
    std::uint64_t part = unscaled.divide(kNineteen);
    more = !unscaled.is_zero();
    int written = 0;
    do {  // all nineteen but in the leading part, whose leading zeros are not written
      *--first = static_cast<char>('0' + part % 10);
      part /= 10;
      ++written;
    } while (more ? written < 19 : part != 0);
  }
  char text[20 * Words + 16];  // a sign, the digits, 'e' and the exponent
  char* at = text;
  if (unscaled.negative) *at++ = '-';
  at = std::copy(first, std::end(digits), at);
  *at++ = 'e';
  at = std::to_chars(at, std::end(text), -static_cast<std::int64_t>(scale)).ptr;
  double value = 0;
  if (std::from_chars(text, at, value).ec == std::errc::result_out_of_range) {
    // Beyond the doubles: infinite, or zero, with the value's sign.
    value = scale < 0 ? HUGE_VAL : 0.0;
    if (unscaled.negative) value = -value;
  }
  return value;
}

/// Whether `unscaled` has at most `digits` digits: below 10^digits.
template <std::size_t Words>
bool within_digits(Unscaled<Words> unscaled, int digits) noexcept {
  for (; digits >= 19; digits -= 19) {
    if (unscaled.word() && digits >= 20) return true;  // a word is below 2^64 < 10^20
    unscaled.divide(ten_to(19));
    if (unscaled.is_zero()) return true;
  }
  const std::optional<std::uint64_t> small = unscaled.word();
  return small && *small < ten_to(digits);
}

/// Calls `f` with value `i` of an array of decimals of `bytes` bytes, in as many words as
/// its width needs, so that each loop over decimals is compiled once per width.
template <class F>
decltype(auto) with_decimal(const void* base, std::int64_t i, unsigned bytes, F&& f) {
  if (bytes == 32) return f(load_decimal<4>(base, i, bytes));
  return f(load_decimal<2>(base, i, bytes));
}

/// `unscaled` x 10^-scale as a whole number in `out`, exactly: a positive scale divides by
/// ten as often, each step leaving no remainder; a negative one multiplies within 64 bits.
template <std::size_t Words>
Whole whole_decimal(Unscaled<Words> unscaled, int scale, std::int64_t& out) noexcept {
  // Up to 19 places a division; zero, whatever is left of the scale, ends it.
  for (int left = scale; left > 0 && !unscaled.is_zero(); left -= 19) {
    if (unscaled.divide(ten_to(std::min(left, 19))) != 0) return Whole::kNotWhole;
  }
  const std::optional<std::uint64_t> small = unscaled.word();
  // The largest magnitude a signed 64-bit integer holds: 2^63 below zero, 2^63 - 1 above.
  const std::uint64_t limit = (std::uint64_t{1} << 63) - (unscaled.negative ? 0 : 1);
  if (!small || *small > limit) return Whole::kTooLarge;
  std::uint64_t magnitude = *small;
  for (int k = 0; k > scale && magnitude != 0; --k) {  // ends past 19 steps at the latest
    if (magnitude > limit / 10) return Whole::kTooLarge;
    magnitude *= 10;
  }
  out = static_cast<std::int64_t>(unscaled.negative ? 0 - magnitude : magnitude);
  return Whole::kYes;
}

}  // namespace detail

/// One chunk of a number column, over validated buffers someone else owns.
struct NumberChunk {
  NumberType type = NumberType::kF64;
  std::int64_t offset = 0;
  std::int64_t length = 0;
  const std::uint8_t* validity = nullptr;
  const void* values = nullptr;
  /// Decimals (money as SQL and Arrow keep it): the bytes of a value, 4, 8, 16 or 32, and
  /// the scale: a value is its unscaled integer times 10^-scale. Zero bytes for the others.
  unsigned decimal_bytes = 0;
  int scale = 0;

  bool is_null(std::int64_t row) const noexcept {
    if (type == NumberType::kNull) return true;
    return validity != nullptr && !detail::bit(validity, offset + row);
  }

  /// Row `row` as a double (64-bit integers beyond 2^53 round to nearest; a decimal is the
  /// double nearest to it).
  double number(std::int64_t row) const noexcept {
    if (decimal_bytes != 0) {
      return detail::with_decimal(values, offset + row, decimal_bytes, [&](auto unscaled) {
        return detail::decimal_value(unscaled, scale);
      });
    }
    return with_number_type(type, [&](auto stored) {
      return static_cast<double>(detail::load<decltype(stored)>(values, offset + row));
    });
  }

  /// Row `row` as a whole number in `out`: an integer as it is, a float when it is finite
  /// and has no fraction. 64-bit integers and decimals are read exactly, not through a
  /// double.
  Whole whole(std::int64_t row, std::int64_t& out) const noexcept {
    std::int64_t i = offset + row;
    if (decimal_bytes != 0) {
      return detail::with_decimal(values, i, decimal_bytes, [&](auto unscaled) {
        return detail::whole_decimal(unscaled, scale, out);
      });
    }
    if (type == NumberType::kU64) {
      auto value = detail::load<std::uint64_t>(values, i);
      if (value > static_cast<std::uint64_t>(INT64_MAX)) return Whole::kTooLarge;
      out = static_cast<std::int64_t>(value);
      return Whole::kYes;
    }
    if (type == NumberType::kI64) {
      out = detail::load<std::int64_t>(values, i);
      return Whole::kYes;
    }
    double value = number(row);
    if (!std::isfinite(value) || std::trunc(value) != value) return Whole::kNotWhole;
    // -2^63 is a 64-bit integer, 2^63 is not; both are exact doubles.
    if (value < -0x1p63 || value >= 0x1p63) return Whole::kTooLarge;
    out = static_cast<std::int64_t>(value);
    return Whole::kYes;
  }
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
  explicit RowCursor(const std::vector<Chunk>& chunks) noexcept : chunks_(&chunks) {}

  /// Moves to the next row and returns its chunk and its row within the chunk; call it
  /// at most once per row of the column.
  std::pair<const Chunk*, std::int64_t> next() noexcept {
    while (row_ >= (*chunks_)[chunk_].length) {
      ++chunk_;
      row_ = 0;
    }
    return {&(*chunks_)[chunk_], row_++};
  }

 private:
  const std::vector<Chunk>* chunks_;
  std::size_t chunk_ = 0;
  std::int64_t row_ = 0;
};

}  // namespace quorvane::columns
