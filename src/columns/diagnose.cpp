// columns/diagnose.cpp: explain, lint, evaluate and unmatched over columns.
#include "columns/diagnose.h"

#include <algorithm>  // std::min
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "categorizer/diagnose.h"
#include "columns/arrow_output.h"
#include "columns/engines.h"
#include "columns/records.h"
#include "parallel.h"

namespace quorvane::columns {
namespace {

using categorizer::Categorizer;
using categorizer::CategoryRule;

std::vector<std::string_view> patterns_of(std::span<const CategoryRule> rules) {
  std::vector<std::string_view> patterns;
  patterns.reserve(rules.size());
  for (const CategoryRule& rule : rules) patterns.push_back(rule.pattern);
  return patterns;
}

}  // namespace

SharedTable explain_table(const TextColumn& narrations, std::span<const CategoryRule> rules,
                          unsigned threads, std::int64_t& too_long, std::int64_t& malformed) {
  const std::int64_t rows = narrations.size();
  TableBuilder out({{"rule", ColumnKind::kInt32, true},
                    {"start", ColumnKind::kInt32, true},
                    {"end", ColumnKind::kInt32, true},
                    {"matched", ColumnKind::kInt32, true}});
  std::int32_t* columns[4];
  for (std::int64_t c = 0; c < 4; ++c) columns[c] = out.int32s(c, rows);
  std::uint8_t* valid[4];
  for (std::int64_t c = 0; c < 4; ++c) valid[c] = out.validity(c, rows);
  const std::vector<std::string_view> patterns = patterns_of(rules);
  const Categorizer categorizer(patterns);
  std::atomic<std::int64_t> nulls = 0;
  std::atomic<std::int64_t> first_too_long = rows;  // a row whose span does not fit an int32
  std::atomic<std::int64_t> first_malformed = rows;
  // Pieces of whole bytes of validity: a multiple of eight rows.
  in_pieces(rows, threads, kMinRowsPerThread, kRowsPerPiece, [&](auto&& next) {
    // A batch of rows at a time, so that the automaton walks several narrations at once; a
    // null row is explained as an empty text, then made null. A batch is a multiple of
    // eight rows, so that it fills whole bytes of validity.
    constexpr std::int64_t kBatch = 1024;
    std::vector<std::string_view> texts(kBatch);
    std::vector<Categorizer::Explanation> why(kBatch);
    std::vector<std::int64_t> null_rows;
    Categorizer::Scratch scratch;  // buffers reused batch after batch
    std::int64_t unmatched = 0;
    for (std::int64_t begin = 0, end = 0; next(begin, end);) {
      for (std::int64_t first = begin; first < end; first += kBatch) {
        const std::int64_t last = std::min(end, first + kBatch);
        null_rows.clear();
        gather(narrations, first, last, texts.data(), null_rows);
        categorizer.explain_all({texts.data(), static_cast<std::size_t>(last - first)}, why.data(),
                                scratch);
        for (std::int64_t row : null_rows)
          why[static_cast<std::size_t>(row - first)].rule = Categorizer::kNone;
        unsigned bits = 0;
        for (std::int64_t row = first; row < last; ++row) {
          const Categorizer::Explanation& w = why[static_cast<std::size_t>(row - first)];
          if (w.rule == Categorizer::kMalformed) keep_first(first_malformed, row);
          const bool matched = w.rule < Categorizer::kMalformed;
          if (matched && w.end > static_cast<std::size_t>(INT32_MAX)) {
            keep_first(first_too_long, row);
          }
          // No stale bytes under a null.
          columns[0][row] = matched ? static_cast<std::int32_t>(w.rule) : 0;
          columns[1][row] = matched ? static_cast<std::int32_t>(w.start) : 0;
          columns[2][row] = matched ? static_cast<std::int32_t>(w.end) : 0;
          columns[3][row] = matched ? static_cast<std::int32_t>(w.matched) : 0;
          bits |= static_cast<unsigned>(matched) << (row & 7);
          unmatched += matched ? 0 : 1;
          if ((row & 7) == 7 || row + 1 == last) {
            for (std::uint8_t* v : valid) v[row >> 3] = static_cast<std::uint8_t>(bits);
            bits = 0;
          }
        }
      }
    }
    nulls += unmatched;
  });
  if (first_malformed < rows) {
    malformed = first_malformed;
    return nullptr;
  }
  if (first_too_long < rows) {
    too_long = first_too_long;
    return nullptr;
  }
  for (std::int64_t c = 0; c < 4; ++c) out.set_filled(c, rows, nulls);
  return out.finish(rows);
}

SharedTable lint_table(std::span<const CategoryRule> rules, unsigned threads) {
  return records_table(categorizer::lint_rules(rules, threads));
}

std::array<SharedTable, 3> evaluate_tables(const ExampleRows& examples,
                                           std::span<const CategoryRule> rules, unsigned threads) {
  const std::vector<std::string_view> patterns = patterns_of(rules);
  const Categorizer categorizer(patterns);
  categorizer::EvaluationCounts total(rules);
  std::mutex merging;
  in_ranges(examples.size(), threads, kMinRowsPerThread, [&](std::int64_t begin, std::int64_t end) {
    // A batch of examples at a time, read from their columns, so that the
    // automaton walks several narrations at once, as categorisation does.
    constexpr std::int64_t kBatch = 1024;
    categorizer::EvaluationCounts counts(rules);
    std::vector<categorizer::ExampleView> part(kBatch);
    std::vector<std::string_view> texts(kBatch);
    std::vector<std::int32_t> won(kBatch);
    Categorizer::Batch batch;  // buffers reused batch after batch
    for (std::int64_t first = begin; first < end; first += kBatch) {
      const std::size_t n = examples.fill(first, std::min(end, first + kBatch), part.data());
      for (std::size_t k = 0; k < n; ++k) texts[k] = part[k].narration;
      categorizer.rules_for({texts.data(), n}, won.data(), batch);
      for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t rule =
            won[k] < 0 ? Categorizer::kNone : static_cast<std::uint32_t>(won[k]);
        counts.add(rule, part[k].category, part[k].merchant);
      }
    }
    const std::lock_guard<std::mutex> lock(merging);
    total.merge(counts);
  });
  const categorizer::Evaluation figures = total.finish();
  return {records_table(figures.rules), records_table(figures.categories),
          records_table(std::vector<categorizer::EvaluationSummary>{figures.summary})};
}

SharedTable unmatched_table(const TextColumn& narrations, std::span<const CategoryRule> rules,
                            std::size_t top, unsigned threads, std::int64_t& malformed) {
  const std::int64_t rows = narrations.size();
  std::vector<std::int32_t> rule(static_cast<std::size_t>(rows));
  malformed = categorize(narrations, patterns_of(rules), rule.data(), threads);
  if (malformed >= 0) return nullptr;
  std::vector<std::string_view> unmatched;
  narrations.for_rows(0, rows, [&](std::int64_t row, std::optional<std::string_view> text) {
    if (text && rule[static_cast<std::size_t>(row)] < 0) unmatched.push_back(*text);
  });
  const std::vector<categorizer::WordGroup> groups = categorizer::word_groups(unmatched, top);

  std::vector<ColumnShape> shapes;
  add_columns<categorizer::WordGroup>(shapes, false);
  shapes.push_back({"examples", ColumnKind::kTextList});
  TableBuilder out(shapes);
  out.reserve_rows(static_cast<std::int64_t>(groups.size()));
  for (const categorizer::WordGroup& group : groups) {
    const std::int64_t examples = put_record(out, 0, group);
    out.append_texts(examples, group.examples.size(),
                     [&](std::size_t k) { return unmatched[group.examples[k]]; });
  }
  return out.finish(static_cast<std::int64_t>(groups.size()));
}

}  // namespace quorvane::columns
