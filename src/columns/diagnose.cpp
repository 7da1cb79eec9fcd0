// columns/diagnose.cpp: explain, lint, evaluate and unmatched over columns.
#include "columns/diagnose.h"

#include <algorithm>  // std::min
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

// Marks a row whose span does not fit an int32, until the rows are checked in order.
constexpr std::int32_t kTooLong = -2;

}  // namespace

SharedTable explain_table(const TextColumn& narrations, std::span<const CategoryRule> rules,
                          unsigned threads, std::int64_t& too_long) {
  const std::int64_t rows = narrations.size();
  TableBuilder out({{"rule", ColumnKind::kInt32, true},
                    {"start", ColumnKind::kInt32, true},
                    {"end", ColumnKind::kInt32, true},
                    {"matched", ColumnKind::kInt32, true}});
  std::int32_t* columns[4];
  for (std::int64_t c = 0; c < 4; ++c) columns[c] = out.int32s(c, rows);
  std::int32_t* rule = columns[0];
  const std::vector<std::string_view> patterns = patterns_of(rules);
  const Categorizer categorizer(patterns);
  in_ranges(rows, threads, kMinRowsPerThread, [&](std::int64_t begin, std::int64_t end) {
    // A batch of rows at a time, so that the automaton walks several narrations at once;
    // a null row is explained as an empty text, then given -1.
    constexpr std::int64_t kBatch = 1024;
    std::vector<std::string_view> texts(kBatch);
    std::vector<Categorizer::Explanation> why(kBatch);
    std::vector<std::int64_t> nulls;
    Categorizer::Scratch scratch;  // buffers reused batch after batch
    for (std::int64_t first = begin; first < end; first += kBatch) {
      const std::int64_t last = std::min(end, first + kBatch);
      nulls.clear();
      gather(narrations, first, last, texts.data(), nulls);
      categorizer.explain_all({texts.data(), static_cast<std::size_t>(last - first)}, why.data(),
                              scratch);
      for (std::int64_t row = first; row < last; ++row) {
        const Categorizer::Explanation& w = why[static_cast<std::size_t>(row - first)];
        rule[row] = -1;
        if (w.rule == Categorizer::kNone) continue;
        if (w.end > static_cast<std::size_t>(INT32_MAX)) {
          rule[row] = kTooLong;
          continue;
        }
        rule[row] = static_cast<std::int32_t>(w.rule);
        columns[1][row] = static_cast<std::int32_t>(w.start);
        columns[2][row] = static_cast<std::int32_t>(w.end);
        columns[3][row] = static_cast<std::int32_t>(w.matched);
      }
      for (std::int64_t row : nulls) rule[row] = -1;
    }
  });

  std::uint8_t* valid[4];
  for (std::int64_t c = 0; c < 4; ++c) valid[c] = out.validity(c, rows);
  std::int64_t nulls = 0;
  for (std::int64_t i = 0; i < rows; ++i) {
    if (rule[i] == kTooLong) {
      too_long = i;
      return nullptr;
    }
    if (rule[i] < 0) {
      ++nulls;
      for (std::int32_t* column : columns) column[i] = 0;  // no stale bytes under a null
      continue;
    }
    auto bit = static_cast<std::uint8_t>(1U << (i & 7));
    for (std::uint8_t* v : valid) v[i >> 3] = static_cast<std::uint8_t>(v[i >> 3] | bit);
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
      const auto n = static_cast<std::size_t>(std::min(end - first, kBatch));
      examples.fill(first, first + static_cast<std::int64_t>(n), part.data());
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
                            std::size_t top, unsigned threads) {
  const std::int64_t rows = narrations.size();
  std::vector<std::int32_t> rule(static_cast<std::size_t>(rows));
  categorize(narrations, patterns_of(rules), rule.data(), threads);
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
