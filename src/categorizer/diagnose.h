// categorizer/diagnose.h: questions about a rule set: which rules can never win, how well
// the rules label known history, and which unmatched narrations share a word.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quorvane::categorizer {

/// One rule, viewed in buffers the caller owns.
struct RuleView {
  std::string_view pattern;
  std::string_view category;
  std::string_view merchant;
};

// MARK: rules that never win

/// Why a rule never wins.
enum class LintKind : std::uint8_t {
  kDuplicate,    // an earlier rule has the same pattern, category and merchant
  kConflict,     // an earlier rule has the same pattern and another category or merchant
  kUnreachable,  // an earlier rule's pattern occurs inside this rule's
};

/// The kind's name: "duplicate", "conflict" or "unreachable".
std::string_view lint_kind_name(LintKind kind) noexcept;

/// A rule that never wins, and the earlier rule `by` that takes its narrations.
struct LintFinding {
  std::uint32_t rule = 0;
  LintKind kind = LintKind::kDuplicate;
  std::uint32_t by = 0;
};

/// The rules that can never win, at most one finding each, in rule order. Patterns are
/// compared lower-cased, as categorisation compares them. When earlier rules have the
/// same pattern, `by` is the first of them (kDuplicate or kConflict, by its category and
/// merchant); otherwise, when earlier patterns occur inside this one (an empty pattern
/// occurs in every pattern), `by` is the smallest of them (kUnreachable).
std::vector<LintFinding> lint_rules(std::span<const RuleView> rules);

/// One sentence telling what `finding` (one of lint_rules(rules)) means; rules are
/// numbered from 0.
std::string lint_message(const LintFinding& finding, std::span<const RuleView> rules);

// MARK: rules against labelled history

/// A ratio, absent when its denominator is 0.
std::optional<double> ratio(std::uint64_t numerator, std::uint64_t denominator) noexcept;

/// One rule's figures on labelled rows.
struct RuleScore {
  std::uint64_t hits = 0;     // rows the rule won
  std::uint64_t correct = 0;  // of those, rows labelled with its category and merchant
  std::optional<double> precision;
};

/// One category's figures; a row is correct only when its merchant is right too.
struct CategoryScore {
  std::string_view category;
  std::uint64_t support = 0;    // rows labelled with it
  std::uint64_t predicted = 0;  // rows the rules gave it
  std::uint64_t correct = 0;
  std::optional<double> precision;  // correct / predicted
  std::optional<double> recall;     // correct / support
  std::optional<double> f1;         // 2 correct / (support + predicted)
};

/// The figures of a rule set on labelled rows.
struct Evaluation {
  std::vector<RuleScore> rules;           // one per rule, in rule order
  std::vector<CategoryScore> categories;  // labelled or predicted ones, in byte order
  std::uint64_t rows = 0;
  std::uint64_t matched = 0;
  std::uint64_t correct = 0;
  std::optional<double> coverage;   // matched / rows
  std::optional<double> accuracy;   // correct / rows
  std::optional<double> precision;  // correct / matched
  std::optional<double> macro_f1;   // the mean of the categories' f1
};

/// Labelled rows counted as the rules decided them. Rows may be counted in parts (one
/// per thread) and the parts merged; the figures do not depend on the split.
class EvaluationCounts {
 public:
  /// Counts over `rules`, which must outlive this object and its figures.
  explicit EvaluationCounts(std::span<const RuleView> rules);

  /// One row labelled (category, merchant), decided by rule `rule` (an index into the
  /// rules, or Categorizer::kNone). The label texts must outlive the figures.
  void add(std::uint32_t rule, std::string_view category, std::string_view merchant);

  /// Adds the rows `other` counted over the same rules.
  void merge(const EvaluationCounts& other);

  /// The figures of every row counted; texts are views of the rules and labels.
  Evaluation finish() const;

 private:
  std::span<const RuleView> rules_;
  std::vector<std::uint64_t> hits_;
  std::vector<std::uint64_t> correct_;
  // Rows labelled with each category: keyed by the text, except for rows whose label is
  // the deciding rule's category (most of them), counted by rule without a lookup.
  std::vector<std::uint64_t> labelled_as_rule_;
  std::unordered_map<std::string_view, std::uint64_t> labelled_;
  std::uint64_t rows_ = 0;
};

// MARK: unmatched narrations

/// Unmatched narrations that share a word.
struct WordGroup {
  std::string word;                   // lower-case; empty for narrations without a word
  std::uint64_t count = 0;            // narrations in the group
  std::vector<std::size_t> examples;  // the first few, as indexes into the narrations
};

/// Most examples a WordGroup keeps.
inline constexpr std::size_t kGroupExamples = 3;

/// Groups `narrations` by a word: each is given, among its tokens (as derivation splits
/// them), the one held by the most narrations, ties to the smaller word in byte order;
/// narrations without a token form one group with an empty word. The `top` largest
/// groups, by count descending then word (the wordless group last among equals).
std::vector<WordGroup> word_groups(std::span<const std::string_view> narrations, std::size_t top);

}  // namespace quorvane::categorizer
