// categorizer/diagnose.h: questions about a rule set: which rules can never win, how well
// the rules label known history, and which unmatched narrations share a word. The rows
// of the answers are records, declared once for the channels that carry them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "categorizer/dense_ids.h"
#include "categorizer/model.h"
#include "record.h"

namespace quorvane::categorizer {

// MARK: rules that never win

/// Why a rule never wins.
enum class LintKind : std::uint8_t {
  kDuplicate,    // an earlier rule has the same pattern, category and merchant
  kConflict,     // an earlier rule has the same pattern and another category or merchant
  kUnreachable,  // an earlier rule's pattern occurs inside this rule's
};

/// A rule that never wins, the earlier rule `by` that takes its narrations, and one
/// sentence saying so (rules numbered from 0).
struct LintFinding {
  std::int32_t rule = 0;
  LintKind kind = LintKind::kDuplicate;
  std::int32_t by = 0;
  std::string message;
};

/// The rules that can never win, at most one finding each, in rule order. Patterns are
/// compared lower-cased, as categorisation compares them. When earlier rules have the
/// same pattern, `by` is the first of them (kDuplicate or kConflict, by its category and
/// merchant); otherwise, when earlier patterns occur inside this one (an empty pattern
/// occurs in every pattern), `by` is the smallest of them (kUnreachable). Fewer than
/// INT32_MAX rules; the patterns are searched on up to `threads` threads.
std::vector<LintFinding> lint_rules(std::span<const CategoryRule> rules, unsigned threads);

// MARK: rules against labelled history

/// A ratio, absent when its denominator is 0.
std::optional<double> ratio(std::uint64_t numerator, std::uint64_t denominator) noexcept;

/// One rule's figures on labelled rows.
struct RuleScore {
  std::int32_t rule = 0;
  std::string pattern;
  std::string category;
  std::string merchant;
  std::uint64_t hits = 0;     // rows the rule won
  std::uint64_t correct = 0;  // of those, rows labelled with its category and merchant
  std::optional<double> precision;
};

/// One category's figures; a row is correct only when its merchant is right too.
struct CategoryScore {
  std::string category;
  std::uint64_t support = 0;    // rows labelled with it
  std::uint64_t predicted = 0;  // rows the rules gave it
  std::uint64_t correct = 0;
  std::optional<double> precision;  // correct / predicted
  std::optional<double> recall;     // correct / support
  std::optional<double> f1;         // 2 correct / (support + predicted)
};

/// The figures of all rows together.
struct EvaluationSummary {
  std::uint64_t rows = 0;
  std::uint64_t matched = 0;
  std::uint64_t correct = 0;
  std::optional<double> coverage;   // matched / rows
  std::optional<double> accuracy;   // correct / rows
  std::optional<double> precision;  // correct / matched
  std::optional<double> macro_f1;   // the mean of the categories' f1
};

/// The figures of a rule set on labelled rows.
struct Evaluation {
  std::vector<RuleScore> rules;           // one per rule, in rule order
  std::vector<CategoryScore> categories;  // labelled or predicted ones, in byte order
  EvaluationSummary summary;
};

/// Labelled rows counted as the rules decided them. Rows may be counted in parts (one
/// per thread) and the parts merged; the figures do not depend on the split.
class EvaluationCounts {
 public:
  /// Counts over `rules`, which must outlive this object.
  explicit EvaluationCounts(std::span<const CategoryRule> rules);

  /// One row labelled (category, merchant), decided by rule `rule` (an index into the
  /// rules, or Categorizer::kNone). The label texts must outlive this object.
  void add(std::uint32_t rule, std::string_view category, std::string_view merchant);

  /// Adds the rows `other` counted over the same rules.
  void merge(const EvaluationCounts& other);

  /// The figures of every row counted.
  Evaluation finish() const;

 private:
  std::span<const CategoryRule> rules_;
  std::vector<std::uint64_t> hits_;
  std::vector<std::uint64_t> correct_;
  // Rows labelled with each category: keyed by the text, except for rows whose label is
  // the deciding rule's category (most of them), counted by rule without a lookup.
  std::vector<std::uint64_t> labelled_as_rule_;
  struct Label {
    std::string_view text;
    std::uint64_t hash;
    std::uint64_t rows;
  };
  struct LabelTraits {
    std::uint64_t hash(std::string_view text) const noexcept { return hash_bytes(text); }
    Label make(std::string_view text, std::uint64_t hash) const noexcept { return {text, hash, 0}; }
    bool matches(const Label& label, std::string_view text) const noexcept {
      return same_bytes(label.text, text);
    }
  };
  DenseIds<std::string_view, Label, LabelTraits> labelled_;
  std::uint64_t rows_ = 0;
};

// MARK: unmatched narrations

/// Unmatched narrations that share a word.
struct WordGroup {
  std::optional<std::string> word;  // lower-case; none for narrations without a word
  std::uint64_t count = 0;          // narrations in the group
  // The first few, as indexes into the narrations (the column door writes their texts).
  std::vector<std::size_t> examples;
};

/// Most examples a WordGroup keeps.
inline constexpr std::size_t kGroupExamples = 3;

/// Groups `narrations` by a word: each is given, among its tokens (as derivation splits
/// them), the one held by the most narrations, ties to the smaller word in byte order;
/// narrations without a token form one group without a word. The `top` largest groups,
/// by count descending then word (the wordless group last among equals).
std::vector<WordGroup> word_groups(std::span<const std::string_view> narrations, std::size_t top);

}  // namespace quorvane::categorizer

namespace quorvane::record {

template <>
struct EnumSchema<categorizer::LintKind> {
  static constexpr std::array<std::string_view, 3> names{"duplicate", "conflict", "unreachable"};
};

template <>
struct Schema<categorizer::LintFinding> {
  using R = categorizer::LintFinding;
  static constexpr std::string_view name = "LintFinding";
  static constexpr std::tuple fields{
      required("rule", &R::rule),
      required("kind", &R::kind),
      required("by", &R::by),
      required("message", &R::message),
  };
};

template <>
struct Schema<categorizer::RuleScore> {
  using R = categorizer::RuleScore;
  static constexpr std::string_view name = "RuleScore";
  static constexpr std::tuple fields{
      required("rule", &R::rule),           required("pattern", &R::pattern),
      required("category", &R::category),   required("merchant", &R::merchant),
      required("hits", &R::hits),           required("correct", &R::correct),
      optional("precision", &R::precision),
  };
};

template <>
struct Schema<categorizer::CategoryScore> {
  using R = categorizer::CategoryScore;
  static constexpr std::string_view name = "CategoryScore";
  static constexpr std::tuple fields{
      required("category", &R::category),
      required("support", &R::support),
      required("predicted", &R::predicted),
      required("correct", &R::correct),
      optional("precision", &R::precision),
      optional("recall", &R::recall),
      optional("f1", &R::f1),
  };
};

template <>
struct Schema<categorizer::EvaluationSummary> {
  using R = categorizer::EvaluationSummary;
  static constexpr std::string_view name = "EvaluationSummary";
  static constexpr std::tuple fields{
      required("rows", &R::rows),         required("matched", &R::matched),
      required("correct", &R::correct),   optional("coverage", &R::coverage),
      optional("accuracy", &R::accuracy), optional("precision", &R::precision),
      optional("macro_f1", &R::macro_f1),
  };
};

// The examples, indexes here, are texts in a result: the column door adds them itself.
template <>
struct Schema<categorizer::WordGroup> {
  using R = categorizer::WordGroup;
  static constexpr std::string_view name = "WordGroup";
  static constexpr std::tuple fields{
      optional("word", &R::word),
      required("count", &R::count),
  };
};

}  // namespace quorvane::record
