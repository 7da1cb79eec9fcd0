// columns/engines.cpp: categorisation, derivation and loans over columns.
#include "columns/engines.h"

#include <algorithm>  // std::min, std::sort, std::copy
#include <atomic>
#include <optional>
#include <string>
#include <utility>  // std::pair
#include <vector>

#include "categorizer/engine.h"
#include "columns/arrow_output.h"
#include "columns/records.h"
#include "parallel.h"

namespace quorvane::columns {
namespace {

// MARK: categorize

// Distinct texts in byte order (code point order, that of Python's and every
// library's strings), and each text's index among them. A categorical's order is what
// pandas sorts and groups by and what duckdb reads a pandas category as an ENUM of: in
// the rules' order, a sort by category or a min() would disagree with the same column
// as text.
void distinct(const std::vector<std::string_view>& texts, std::vector<std::string_view>& values,
              std::vector<std::int32_t>& index) {
  // Each text's first eight bytes, big-endian and padded with zeros, decide most
  // comparisons as one integer's; only texts equal there are compared in full. (With
  // thousands of rules, sorting the texts as strings cost a millisecond.)
  std::vector<std::pair<std::uint64_t, std::int32_t>> keyed(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    std::uint64_t key = 0;
    const std::string_view t = texts[i];
    for (std::size_t b = 0; b < 8; ++b) {
      key = key << 8 | (b < t.size() ? static_cast<std::uint8_t>(t[b]) : 0U);
    }
    keyed[i] = {key, static_cast<std::int32_t>(i)};
  }
  std::sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first
                              : texts[static_cast<std::size_t>(a.second)] <
                                    texts[static_cast<std::size_t>(b.second)];
  });
  values.clear();
  index.assign(texts.size(), 0);
  for (std::size_t k = 0; k < keyed.size(); ++k) {
    const std::string_view text = texts[static_cast<std::size_t>(keyed[k].second)];
    if (values.empty() || values.back() != text) values.push_back(text);
    index[static_cast<std::size_t>(keyed[k].second)] = static_cast<std::int32_t>(values.size() - 1);
  }
}

}  // namespace

// Flattened so that the visit is inlined into each layout's loop: called once per row,
// it took a tenth as long as categorisation's walk.
[[gnu::flatten]] void gather(const TextColumn& column, std::int64_t first, std::int64_t last,
                             std::string_view* texts, std::vector<std::int64_t>& nulls) {
  column.for_rows(first, last, [&](std::int64_t row, std::optional<std::string_view> text) {
    texts[row - first] = text.value_or(std::string_view());
    if (!text) nulls.push_back(row);
  });
}

void keep_first(std::atomic<std::int64_t>& first, std::int64_t row) {
  std::int64_t seen = first.load();
  while (row < seen && !first.compare_exchange_weak(seen, row)) {
  }
}

SharedTable categorize_table(const TextColumn& narrations,
                             const std::vector<categorizer::CategoryRule>& rules, unsigned threads,
                             std::int64_t& malformed) {
  const std::int64_t rows = narrations.size();
  std::vector<std::string_view> patterns, categories, merchants;
  for (const categorizer::CategoryRule& r : rules) {
    patterns.push_back(r.pattern);
    categories.push_back(r.category);
    merchants.push_back(r.merchant);
  }
  TableBuilder out({{"rule", ColumnKind::kInt32},
                    {"category", ColumnKind::kDictionary},
                    {"merchant", ColumnKind::kDictionary}});
  std::int32_t* rule = out.int32s(0, rows);
  malformed = categorize(narrations, patterns, rule, threads);
  if (malformed >= 0) return nullptr;

  // Category and merchant are indices into the rules' distinct texts, so the three
  // columns take 12 bytes a row and no text is copied per row.
  const std::vector<std::string_view>* labels[2] = {&categories, &merchants};
  std::vector<std::int32_t> index_of_rule[2];
  for (std::int64_t c = 0; c < 2; ++c) {
    std::vector<std::string_view> values;
    distinct(*labels[c], values, index_of_rule[c]);
    for (std::string_view v : values) out.append_dictionary_text(c + 1, v);
  }
  std::int32_t* category = out.int32s(1, rows);
  std::int32_t* merchant = out.int32s(2, rows);
  std::uint8_t* valid[3] = {out.validity(0, rows), out.validity(1, rows), out.validity(2, rows)};
  // On every core too, eight rows (a validity byte) at a time, so that no two threads
  // write the same byte, and without a branch per row: rule -1 (none) reads entry 0 of
  // the label indices, and leaves its rows 0 and null. The three columns are null in
  // the same rows.
  for (std::vector<std::int32_t>& index : index_of_rule) index.insert(index.begin(), 0);
  std::atomic<std::int64_t> nulls = 0;
  in_ranges((rows + 7) / 8, threads, kMinRowsPerThread / 8,
            [&](std::int64_t begin, std::int64_t end) {
              std::int64_t unmatched = 0;
              for (std::int64_t byte = begin; byte < end; ++byte) {
                unsigned bits = 0;
                for (std::int64_t i = byte * 8; i < std::min(rows, byte * 8 + 8); ++i) {
                  const std::int32_t r = rule[i];
                  const bool matched = r >= 0;
                  category[i] = index_of_rule[0][static_cast<std::size_t>(r + 1)];
                  merchant[i] = index_of_rule[1][static_cast<std::size_t>(r + 1)];
                  rule[i] = matched ? r : 0;
                  bits |= static_cast<unsigned>(matched) << (i & 7);
                  unmatched += matched ? 0 : 1;
                }
                for (std::uint8_t* v : valid) v[byte] = static_cast<std::uint8_t>(bits);
              }
              nulls += unmatched;
            });
  for (std::int64_t c = 0; c < 3; ++c) out.set_filled(c, rows, nulls);
  return out.finish(rows);
}

std::int64_t categorize(const TextColumn& narrations, std::span<const std::string_view> patterns,
                        std::int32_t* rules, unsigned threads) {
  const categorizer::Categorizer categorizer(patterns);
  std::atomic<std::int64_t> malformed = INT64_MAX;
  in_pieces(narrations.size(), threads, kMinRowsPerThread, kRowsPerPiece, [&](auto&& next) {
    // A batch of rows at a time, so that the automaton walks several narrations at once; a
    // null row is walked as an empty text, then given -1.
    constexpr std::int64_t kBatch = 1024;
    std::vector<std::string_view> texts(kBatch);
    std::vector<std::int64_t> nulls;
    categorizer::Categorizer::Batch batch;  // buffers reused batch after batch
    for (std::int64_t begin = 0, end = 0; next(begin, end);) {
      for (std::int64_t first = begin; first < end; first += kBatch) {
        const std::int64_t last = std::min(end, first + kBatch);
        nulls.clear();
        gather(narrations, first, last, texts.data(), nulls);
        categorizer.rules_for({texts.data(), static_cast<std::size_t>(last - first)}, rules + first,
                              batch);
        for (std::int64_t row : nulls) rules[row] = -1;
        if (batch.malformed != 0) {
          const auto* bad =
              std::find(rules + first, rules + last,
                        static_cast<std::int32_t>(categorizer::Categorizer::kMalformed));
          keep_first(malformed, bad - rules);
          batch.malformed = 0;
        }
      }
    }
  });
  return malformed == INT64_MAX ? -1 : malformed.load();
}

SharedTable rules_table(const std::vector<categorizer::CategoryRule>& rules) {
  return records_table(rules);
}

SharedTable counts_table(const std::vector<categorizer::TokenCountRow>& rows) {
  return records_table(rows);
}

std::size_t ExampleRows::fill(std::int64_t begin, std::int64_t end,
                              categorizer::ExampleView* out) const {
  if (!by_columns_) {
    std::copy(views_.begin() + begin, views_.begin() + end, out);
    return static_cast<std::size_t>(end - begin);
  }
  std::string_view categorizer::ExampleView::*fields[3] = {&categorizer::ExampleView::narration,
                                                           &categorizer::ExampleView::category,
                                                           &categorizer::ExampleView::merchant};
  for (int c = 0; c < 3; ++c) {
    columns_[c].for_rows(begin, end, [&](std::int64_t row, std::optional<std::string_view> text) {
      out[row - begin].*fields[c] = text.value_or("");
    });
  }
  std::size_t kept = 0;
  for (std::int64_t r = 0; r < end - begin; ++r) {
    if (!out[r].category.empty() || !out[r].merchant.empty()) out[kept++] = out[r];
  }
  return kept;
}

std::span<const categorizer::ExampleView> ExampleRows::all(unsigned threads) {
  if (by_columns_ && !viewed_) {
    viewed_ = true;
    views_.resize(static_cast<std::size_t>(size()));
    // A block of rows at a time, each column filling its field in turn while the block
    // stays in the cache. A part's rows are written from its start; the gaps that rows
    // without a label leave at the parts' ends are closed afterwards.
    constexpr std::int64_t kBlock = 4096;
    const auto rows = size();
    const std::size_t parts = parts_for(rows, threads, kMinRowsPerThread);
    auto start = [&](std::size_t p) {
      return rows * static_cast<std::int64_t>(p) / static_cast<std::int64_t>(parts);
    };
    std::vector<std::size_t> kept(parts, 0);
    on_threads(parts, [&](std::size_t p) {
      for (std::int64_t first = start(p); first < start(p + 1); first += kBlock) {
        const std::int64_t last = std::min(start(p + 1), first + kBlock);
        kept[p] += fill(first, last, views_.data() + start(p) + kept[p]);
      }
    });
    auto at = views_.begin();
    for (std::size_t p = 0; p < parts; ++p) {
      at = std::copy_n(views_.begin() + start(p), kept[p], at);
    }
    unlabelled_ = views_.end() - at;
    views_.erase(at, views_.end());
  }
  return views_;
}

std::int64_t ExampleRows::drop_unlabelled(unsigned threads) {
  all(threads);
  if (by_columns_) return unlabelled_;
  return static_cast<std::int64_t>(std::erase_if(views_, [](const categorizer::ExampleView& v) {
    return v.category.empty() && v.merchant.empty();
  }));
}

}  // namespace quorvane::columns
