// columns/csv.cpp: CSV lines from columns, row after row.
#include "columns/csv.h"

#include <array>
#include <charconv>
#include <cstring>  // std::memcpy
#include <optional>
#include <string_view>
#include <vector>

namespace quorvane::columns {
namespace {

// The cells of one column, row after row.
class Cells {
 public:
  explicit Cells(const FieldColumn& column)
      : texts_(column.text != nullptr ? column.text->chunks : kNoTexts),
        numbers_(column.number != nullptr ? column.number->chunks : kNoNumbers),
        is_text_(column.text != nullptr) {}

  /// The next row's cell; an integer is written into `digits`.
  std::string_view next(std::array<char, 24>& digits) {
    if (is_text_) {
      auto [chunk, row] = texts_.next();
      return chunk->text(row);
    }
    auto [chunk, row] = numbers_.next();
    if (chunk->is_null(row)) return {};
    return with_number_type(chunk->type, [&](auto stored) {
      auto value = detail::load<decltype(stored)>(chunk->values, chunk->offset + row);
      std::to_chars_result end{};
      if constexpr (std::is_integral_v<decltype(stored)>) {
        end = std::to_chars(digits.data(), digits.data() + digits.size(), value);
      } else {
        end.ptr = digits.data();  // only integer columns are read for cells
      }
      return std::string_view(digits.data(), static_cast<std::size_t>(end.ptr - digits.data()));
    });
  }

 private:
  static inline const std::vector<TextChunk> kNoTexts{};
  static inline const std::vector<NumberChunk> kNoNumbers{};
  RowCursor<TextChunk> texts_;
  RowCursor<NumberChunk> numbers_;
  bool is_text_;
};

// Whether a cell holds any of the four bytes that make it quoted, eight bytes at a time:
// a word holds byte b where word ^ (b repeated) holds a zero byte.
class Quotable {
 public:
  explicit Quotable(char delimiter) noexcept {
    for (char c : {delimiter, '"', '\r', '\n'}) special_[static_cast<unsigned char>(c)] = true;
    words_ = {repeated(delimiter), repeated('"'), repeated('\r'), repeated('\n')};
  }

  bool operator()(std::string_view cell) const noexcept {
    std::size_t i = 0;
    for (; i + 8 <= cell.size(); i += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, cell.data() + i, 8);
      if (has_zero(word ^ words_[0]) | has_zero(word ^ words_[1]) | has_zero(word ^ words_[2]) |
          has_zero(word ^ words_[3])) {
        return true;
      }
    }
    for (; i < cell.size(); ++i) {
      if (special_[static_cast<unsigned char>(cell[i])]) return true;
    }
    return false;
  }

 private:
  static constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  static constexpr std::uint64_t repeated(char c) noexcept {
    return kOnes * static_cast<unsigned char>(c);
  }
  static constexpr std::uint64_t has_zero(std::uint64_t w) noexcept {
    return (w - kOnes) & ~w & (kOnes << 7);
  }

  std::array<bool, 256> special_{};
  std::array<std::uint64_t, 4> words_{};
};

// About the bytes the lines take: the texts' data, a few digits a number, the separators.
std::size_t estimate(std::span<const FieldColumn> columns, std::int64_t rows) {
  auto size = static_cast<std::size_t>(rows) * (columns.size() + 1);
  for (const FieldColumn& column : columns) {
    if (column.number != nullptr) {
      size += static_cast<std::size_t>(rows) * 4;
      continue;
    }
    for (const TextChunk& chunk : column.text->chunks) {
      if (chunk.length > 0 && chunk.layout == TextLayout::kOffsets32) {
        const auto* o = static_cast<const std::int32_t*>(chunk.values) + chunk.offset;
        size += static_cast<std::size_t>(o[chunk.length] - o[0]);
      } else {
        size += static_cast<std::size_t>(chunk.length) * 16;
      }
    }
  }
  return size + size / 16;
}

}  // namespace

std::string csv_lines(std::span<const FieldColumn> columns, std::int64_t rows, char delimiter) {
  Quotable quotable(delimiter);
  std::vector<Cells> cells(columns.begin(), columns.end());
  bool alone = columns.size() == 1;
  std::string out;
  out.reserve(estimate(columns, rows));
  std::array<char, 24> digits{};
  for (std::int64_t row = 0; row < rows; ++row) {
    for (std::size_t c = 0; c < cells.size(); ++c) {
      if (c > 0) out += delimiter;
      std::string_view cell = cells[c].next(digits);
      if (!(alone && cell.empty()) && !quotable(cell)) {
        out += cell;
        continue;
      }
      out += '"';
      for (std::size_t from = 0;;) {
        std::size_t at = cell.find('"', from);
        out.append(cell.substr(from, at - from));
        if (at == std::string_view::npos) break;
        out += "\"\"";
        from = at + 1;
      }
      out += '"';
    }
    out += "\r\n";
  }
  return out;
}

}  // namespace quorvane::columns
