// categorizer/diagnose.cpp: rules that never win, figures on labelled history, and
// unmatched narrations grouped by a word.
#include "categorizer/diagnose.h"

#include <algorithm>  // std::sort, std::min
#include <string>
#include <unordered_map>
#include <utility>  // std::move

#include "categorizer/dense_ids.h"
#include "categorizer/pattern_set.h"
#include "categorizer/text_arena.h"
#include "categorizer/tokens.h"
#include "parallel.h"
#include "quote.h"
#include "unicode/lower.h"

namespace quorvane::categorizer {

// MARK: rules that never win

namespace {

// Patterns per thread below which a second thread costs more than it saves.
constexpr std::int64_t kMinPatternsPerThread = 4096;

// One sentence telling what `finding` means.
std::string lint_message(const LintFinding& finding, std::span<const CategoryRule> rules) {
  const CategoryRule& rule = rules[static_cast<std::size_t>(finding.rule)];
  const CategoryRule& by = rules[static_cast<std::size_t>(finding.by)];
  std::string out = "rule " + std::to_string(finding.rule);
  const std::string earlier = "rule " + std::to_string(finding.by);
  auto labels = [&out](const CategoryRule& r) {
    append_quoted(r.category, out);
    out += " / ";
    append_quoted(r.merchant, out);
  };
  switch (finding.kind) {
    case LintKind::kDuplicate:
      out += " repeats " + earlier + ": the same pattern ";
      append_quoted(by.pattern, out);
      out += " (letter case ignored), category and merchant";
      break;
    case LintKind::kConflict:
      out += " never wins: " + earlier + " has the same pattern ";
      append_quoted(by.pattern, out);
      out += " (letter case ignored) and gives ";
      labels(by);
      out += " instead of ";
      labels(rule);
      break;
    case LintKind::kUnreachable:
      out += " never wins: " + earlier + "'s ";
      if (by.pattern.empty()) {
        out += "empty pattern matches every narration";
      } else {
        out += "pattern ";
        append_quoted(by.pattern, out);
        out += " occurs in its pattern ";
        append_quoted(rule.pattern, out);
      }
      break;
  }
  return out;
}

}  // namespace

std::vector<LintFinding> lint_rules(std::span<const CategoryRule> rules, unsigned threads) {
  // Linting is categorisation of the lower-cased patterns themselves: the first rule
  // whose pattern occurs in rule j's pattern takes every narration rule j would match.
  const auto count = static_cast<std::int64_t>(rules.size());
  std::vector<std::string> lowered(rules.size());
  in_ranges(count, threads, kMinPatternsPerThread, [&](std::int64_t begin, std::int64_t end) {
    for (auto j = static_cast<std::size_t>(begin); j < static_cast<std::size_t>(end); ++j) {
      unicode::append_lower(rules[j].pattern, lowered[j]);
    }
  });
  const PatternSet patterns(lowered);
  std::vector<std::uint32_t> first(rules.size());
  in_ranges(count, threads, kMinPatternsPerThread, [&](std::int64_t begin, std::int64_t end) {
    for (auto j = static_cast<std::size_t>(begin); j < static_cast<std::size_t>(end); ++j) {
      first[j] = patterns.first_match(lowered[j]);
    }
  });

  std::unordered_map<std::string_view, std::uint32_t> first_with;
  first_with.reserve(rules.size());
  std::vector<LintFinding> findings;
  for (std::size_t j = 0; j < rules.size(); ++j) {
    const auto rule = static_cast<std::uint32_t>(j);
    LintFinding finding{static_cast<std::int32_t>(rule), LintKind::kUnreachable, 0, {}};
    auto [it, added] = first_with.try_emplace(lowered[j], rule);
    if (!added) {
      const CategoryRule& earlier = rules[it->second];
      const bool same =
          earlier.category == rules[j].category && earlier.merchant == rules[j].merchant;
      finding.kind = same ? LintKind::kDuplicate : LintKind::kConflict;
      finding.by = static_cast<std::int32_t>(it->second);
    } else if (first[j] < rule) {
      // No earlier pattern equals this one, so an earlier first match is a shorter pattern.
      finding.by = static_cast<std::int32_t>(first[j]);
    } else {
      continue;
    }
    finding.message = lint_message(finding, rules);
    findings.push_back(std::move(finding));
  }
  return findings;
}

// MARK: rules against labelled history

std::optional<double> ratio(std::uint64_t numerator, std::uint64_t denominator) noexcept {
  if (denominator == 0) return std::nullopt;
  return static_cast<double>(numerator) / static_cast<double>(denominator);
}

EvaluationCounts::EvaluationCounts(std::span<const CategoryRule> rules)
    : rules_(rules), hits_(rules.size()), correct_(rules.size()), labelled_as_rule_(rules.size()) {}

void EvaluationCounts::add(std::uint32_t rule, std::string_view category,
                           std::string_view merchant) {
  ++rows_;
  if (rule < hits_.size()) {
    ++hits_[rule];
    const CategoryRule& decided = rules_[rule];
    if (same_bytes(category, decided.category)) {
      ++labelled_as_rule_[rule];
      if (same_bytes(merchant, decided.merchant)) ++correct_[rule];
      return;
    }
  }
  ++labelled_[labelled_.id(category)].rows;
}

void EvaluationCounts::merge(const EvaluationCounts& other) {
  for (std::size_t r = 0; r < hits_.size(); ++r) {
    hits_[r] += other.hits_[r];
    correct_[r] += other.correct_[r];
    labelled_as_rule_[r] += other.labelled_as_rule_[r];
  }
  for (std::uint32_t l = 0; l < other.labelled_.size(); ++l) {
    labelled_[labelled_.id(other.labelled_[l].text)].rows += other.labelled_[l].rows;
  }
  rows_ += other.rows_;
}

Evaluation EvaluationCounts::finish() const {
  Evaluation out;
  EvaluationSummary& summary = out.summary;
  summary.rows = rows_;
  out.rules.resize(rules_.size());
  std::unordered_map<std::string_view, CategoryScore> by_category;
  for (std::uint32_t l = 0; l < labelled_.size(); ++l) {
    by_category[labelled_[l].text].support += labelled_[l].rows;
  }
  for (std::size_t r = 0; r < rules_.size(); ++r) {
    const CategoryRule& rule = rules_[r];
    out.rules[r] = {static_cast<std::int32_t>(r),
                    rule.pattern,
                    rule.category,
                    rule.merchant,
                    hits_[r],
                    correct_[r],
                    ratio(correct_[r], hits_[r])};
    summary.matched += hits_[r];
    summary.correct += correct_[r];
    if (hits_[r] == 0) continue;  // its category is no prediction
    CategoryScore& category = by_category[rule.category];
    category.support += labelled_as_rule_[r];
    category.predicted += hits_[r];
    category.correct += correct_[r];
  }
  out.categories.reserve(by_category.size());
  for (auto& [text, score] : by_category) {
    score.category = text;
    out.categories.push_back(std::move(score));
  }
  std::sort(out.categories.begin(), out.categories.end(),
            [](const CategoryScore& a, const CategoryScore& b) { return a.category < b.category; });
  // Summed in category order, so that the mean does not depend on the table's order.
  double f1_sum = 0.0;
  for (CategoryScore& score : out.categories) {
    score.precision = ratio(score.correct, score.predicted);
    score.recall = ratio(score.correct, score.support);
    score.f1 = ratio(2 * score.correct, score.support + score.predicted);
    f1_sum += score.f1.value_or(0.0);
  }
  summary.coverage = ratio(summary.matched, summary.rows);
  summary.accuracy = ratio(summary.correct, summary.rows);
  summary.precision = ratio(summary.correct, summary.matched);
  // Every listed category was labelled or predicted, so each has an f1.
  if (!out.categories.empty()) {
    summary.macro_f1 = f1_sum / static_cast<double>(out.categories.size());
  }
  return out;
}

// MARK: unmatched narrations

namespace {

// A distinct word: how many narrations hold it, and the group of narrations given it.
struct Word {
  std::string_view text;  // copied once into the arena
  std::uint64_t hash = 0;
  std::uint64_t holding = 0;
  std::size_t last = SIZE_MAX;  // the last narration that counted it
  std::uint64_t given = 0;
  std::vector<std::size_t> examples;
};

struct WordTraits {
  TextArena* texts;

  std::uint64_t hash(std::string_view word) const noexcept { return hash_bytes(word); }
  Word make(std::string_view word, std::uint64_t hash) const {
    Word entry;
    entry.text = texts->copy(word);
    entry.hash = hash;
    return entry;
  }
  bool matches(const Word& entry, std::string_view word) const noexcept {
    return same_bytes(entry.text, word);
  }
};

void keep_example(std::vector<std::size_t>& examples, std::size_t narration) {
  if (examples.size() < kGroupExamples) examples.push_back(narration);
}

}  // namespace

std::vector<WordGroup> word_groups(std::span<const std::string_view> narrations, std::size_t top) {
  // First each narration's distinct words, and how many narrations hold each word; then
  // each narration goes to its most widely held word.
  TextArena arena;
  DenseIds<std::string_view, Word, WordTraits> words(WordTraits{&arena});
  std::vector<std::uint32_t> ids;        // each narration's distinct words, in turn
  std::vector<std::size_t> first_id{0};  // where each narration's words start
  std::string lowered;
  for (std::size_t n = 0; n < narrations.size(); ++n) {
    lowered.clear();
    unicode::append_lower(narrations[n], lowered);
    for_each_token(lowered, [&](std::string_view token) {
      const std::uint32_t id = words.id(token);
      Word& word = words[id];
      if (word.last == n) return;
      word.last = n;
      ++word.holding;
      ids.push_back(id);
    });
    first_id.push_back(ids.size());
  }

  std::uint64_t wordless = 0;
  std::vector<std::size_t> wordless_examples;
  std::vector<std::uint32_t> given;  // ids of the words some narration was given
  for (std::size_t n = 0; n < narrations.size(); ++n) {
    if (first_id[n] == first_id[n + 1]) {
      ++wordless;
      keep_example(wordless_examples, n);
      continue;
    }
    std::uint32_t best = ids[first_id[n]];
    for (std::size_t k = first_id[n] + 1; k < first_id[n + 1]; ++k) {
      const Word& candidate = words[ids[k]];
      const Word& so_far = words[best];
      if (candidate.holding > so_far.holding ||
          (candidate.holding == so_far.holding && candidate.text < so_far.text)) {
        best = ids[k];
      }
    }
    Word& word = words[best];
    if (word.given++ == 0) given.push_back(best);
    keep_example(word.examples, n);
  }

  std::sort(given.begin(), given.end(), [&](std::uint32_t a, std::uint32_t b) {
    return words[a].given != words[b].given ? words[a].given > words[b].given
                                            : words[a].text < words[b].text;
  });
  std::vector<WordGroup> groups;
  groups.reserve(std::min(top, given.size() + 1));
  bool wordless_placed = wordless == 0;
  for (std::uint32_t id : given) {
    if (groups.size() == top) break;
    Word& word = words[id];
    if (!wordless_placed && wordless > word.given) {
      groups.push_back({std::nullopt, wordless, std::move(wordless_examples)});
      wordless_placed = true;
      if (groups.size() == top) break;
    }
    groups.push_back({std::string(word.text), word.given, std::move(word.examples)});
  }
  if (!wordless_placed && groups.size() < top) {
    groups.push_back({std::nullopt, wordless, std::move(wordless_examples)});
  }
  return groups;
}

}  // namespace quorvane::categorizer
