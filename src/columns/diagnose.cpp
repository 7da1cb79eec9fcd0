// columns/diagnose.cpp: explain, lint, evaluate and unmatched over columns.
#include "columns/diagnose.h"

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "categorizer/engine.h"
#include "columns/arrow_output.h"
#include "columns/engines.h"
#include "columns/parallel.h"

namespace quorvane::columns {
namespace {

using categorizer::Categorizer;
using categorizer::RuleView;

std::vector<std::string_view> patterns_of(std::span<const RuleView> rules) {
  std::vector<std::string_view> patterns;
  patterns.reserve(rules.size());
  for (const RuleView& rule : rules) patterns.push_back(rule.pattern);
  return patterns;
}

// Marks a row whose span does not fit an int32, until the rows are checked in order.
constexpr std::int32_t kTooLong = -2;

}  // namespace

SharedTable explain_table(const TextColumn& narrations, std::span<const RuleView> rules,
                          unsigned threads, std::int64_t& too_long) {
  const std::int64_t rows = narrations.size();
  TableBuilder out({{"rule", ColumnKind::kInt32},
                    {"start", ColumnKind::kInt32},
                    {"end", ColumnKind::kInt32},
                    {"matched", ColumnKind::kInt32}});
  std::int32_t* rule = out.int32s(0, rows);
  std::int32_t* start = out.int32s(1, rows);
  std::int32_t* end = out.int32s(2, rows);
  std::int32_t* matched = out.int32s(3, rows);
  const std::vector<std::string_view> patterns = patterns_of(rules);
  const Categorizer categorizer(patterns);
  in_parallel(
      rows, threads,
      [&](std::int64_t begin, std::int64_t stop) {
        Categorizer::Scratch scratch;  // per thread, reused row after row
        narrations.for_rows(
            begin, stop, [&](std::int64_t row, std::optional<std::string_view> text) {
              rule[row] = -1;
              if (!text) return;
              const Categorizer::Explanation why = categorizer.explain(*text, scratch);
              if (why.rule == Categorizer::kNone) return;
              if (why.end > static_cast<std::size_t>(INT32_MAX)) {
                rule[row] = kTooLong;
                return;
              }
              rule[row] = static_cast<std::int32_t>(why.rule);
              start[row] = static_cast<std::int32_t>(why.start);
              end[row] = static_cast<std::int32_t>(why.end);
              matched[row] = static_cast<std::int32_t>(why.matched);
            });
      },
      kMinRowsPerThread);

  std::int32_t* columns[4] = {rule, start, end, matched};
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

SharedTable lint_table(std::span<const RuleView> rules) {
  TableBuilder out({{"rule", ColumnKind::kInt32},
                    {"kind", ColumnKind::kText},
                    {"by", ColumnKind::kInt32},
                    {"message", ColumnKind::kText}});
  const std::vector<categorizer::LintFinding> findings = categorizer::lint_rules(rules);
  for (const categorizer::LintFinding& finding : findings) {
    append_int(out.column(0), finding.rule);
    append_text(out.column(1), categorizer::lint_kind_name(finding.kind));
    append_int(out.column(2), finding.by);
    append_text(out.column(3), categorizer::lint_message(finding, rules));
  }
  return out.finish(static_cast<std::int64_t>(findings.size()));
}

std::array<SharedTable, 3> evaluate_tables(const TextColumn& narrations,
                                           const TextColumn& categories,
                                           const TextColumn& merchants,
                                           std::span<const RuleView> rules, unsigned threads) {
  const std::vector<std::string_view> patterns = patterns_of(rules);
  const Categorizer categorizer(patterns);
  categorizer::EvaluationCounts total(rules);
  std::mutex merging;
  in_parallel(
      narrations.size(), threads,
      [&](std::int64_t begin, std::int64_t stop) {
        categorizer::EvaluationCounts counts(rules);
        std::string scratch;
        RowCursor<TextChunk> category(categories.chunks, begin);
        RowCursor<TextChunk> merchant(merchants.chunks, begin);
        narrations.for_rows(begin, stop, [&](std::int64_t, std::optional<std::string_view> text) {
          const std::uint32_t rule =
              text ? categorizer.rule_for(*text, scratch) : Categorizer::kNone;
          auto [c_chunk, c_row] = category.next();
          auto [m_chunk, m_row] = merchant.next();
          counts.add(rule, c_chunk->text(c_row), m_chunk->text(m_row));
        });
        const std::lock_guard<std::mutex> lock(merging);
        total.merge(counts);
      },
      kMinRowsPerThread);
  const categorizer::Evaluation figures = total.finish();

  TableBuilder per_rule({{"rule", ColumnKind::kInt32},
                         {"pattern", ColumnKind::kText},
                         {"category", ColumnKind::kText},
                         {"merchant", ColumnKind::kText},
                         {"hits", ColumnKind::kInt64},
                         {"correct", ColumnKind::kInt64},
                         {"precision", ColumnKind::kFloat64}});
  for (std::size_t r = 0; r < rules.size(); ++r) {
    const categorizer::RuleScore& score = figures.rules[r];
    append_int(per_rule.column(0), static_cast<std::int64_t>(r));
    append_text(per_rule.column(1), rules[r].pattern);
    append_text(per_rule.column(2), rules[r].category);
    append_text(per_rule.column(3), rules[r].merchant);
    append_int(per_rule.column(4), static_cast<std::int64_t>(score.hits));
    append_int(per_rule.column(5), static_cast<std::int64_t>(score.correct));
    append_double(per_rule.column(6), score.precision);
  }

  TableBuilder per_category({{"category", ColumnKind::kText},
                             {"support", ColumnKind::kInt64},
                             {"predicted", ColumnKind::kInt64},
                             {"correct", ColumnKind::kInt64},
                             {"precision", ColumnKind::kFloat64},
                             {"recall", ColumnKind::kFloat64},
                             {"f1", ColumnKind::kFloat64}});
  for (const categorizer::CategoryScore& score : figures.categories) {
    append_text(per_category.column(0), score.category);
    append_int(per_category.column(1), static_cast<std::int64_t>(score.support));
    append_int(per_category.column(2), static_cast<std::int64_t>(score.predicted));
    append_int(per_category.column(3), static_cast<std::int64_t>(score.correct));
    append_double(per_category.column(4), score.precision);
    append_double(per_category.column(5), score.recall);
    append_double(per_category.column(6), score.f1);
  }

  TableBuilder summary({{"rows", ColumnKind::kInt64},
                        {"matched", ColumnKind::kInt64},
                        {"correct", ColumnKind::kInt64},
                        {"coverage", ColumnKind::kFloat64},
                        {"accuracy", ColumnKind::kFloat64},
                        {"precision", ColumnKind::kFloat64},
                        {"macro_f1", ColumnKind::kFloat64}});
  append_int(summary.column(0), static_cast<std::int64_t>(figures.rows));
  append_int(summary.column(1), static_cast<std::int64_t>(figures.matched));
  append_int(summary.column(2), static_cast<std::int64_t>(figures.correct));
  append_double(summary.column(3), figures.coverage);
  append_double(summary.column(4), figures.accuracy);
  append_double(summary.column(5), figures.precision);
  append_double(summary.column(6), figures.macro_f1);

  return {per_rule.finish(static_cast<std::int64_t>(rules.size())),
          per_category.finish(static_cast<std::int64_t>(figures.categories.size())),
          summary.finish(1)};
}

SharedTable unmatched_table(const TextColumn& narrations, std::span<const RuleView> rules,
                            std::size_t top, unsigned threads) {
  const std::int64_t rows = narrations.size();
  std::vector<std::int32_t> rule(static_cast<std::size_t>(rows));
  categorize(narrations, patterns_of(rules), rule.data(), threads);
  std::vector<std::string_view> unmatched;
  narrations.for_rows(0, rows, [&](std::int64_t row, std::optional<std::string_view> text) {
    if (text && rule[static_cast<std::size_t>(row)] < 0) unmatched.push_back(*text);
  });
  const std::vector<categorizer::WordGroup> groups = categorizer::word_groups(unmatched, top);

  TableBuilder out({{"word", ColumnKind::kText},
                    {"count", ColumnKind::kInt64},
                    {"examples", ColumnKind::kTextList}});
  for (const categorizer::WordGroup& group : groups) {
    if (group.word.empty()) {
      append_null(out.column(0));
    } else {
      append_text(out.column(0), group.word);
    }
    append_int(out.column(1), static_cast<std::int64_t>(group.count));
    append_texts(out.column(2), group.examples.size(),
                 [&](std::size_t i) { return unmatched[group.examples[i]]; });
  }
  return out.finish(static_cast<std::int64_t>(groups.size()));
}

}  // namespace quorvane::columns
