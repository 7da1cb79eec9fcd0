// categorizer/engine.h: categorisation of transactions by rules, and derivation of rules.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "categorizer/dense_table.h"
#include "categorizer/model.h"
#include "categorizer/pattern_set.h"
#include "error.h"
#include "result.h"

namespace quorvane::categorizer {

/// Rules' patterns, lowered once, ready to decide narrations. Holds no view of the
/// patterns it was made from; a const Categorizer may be shared by threads.
class Categorizer {
 public:
  static constexpr std::uint32_t kNone = PatternSet::kNone;
  /// The answer for a narration that is not well-formed UTF-8: no rule is tried on it.
  /// Text from a Python str or JSON is always well-formed; a column of Arrow strings may
  /// not be, and only a narration holding a byte >= 0x80 can be malformed, which is the
  /// kind that is lowered in full: it is checked then, at no cost to the others.
  static constexpr std::uint32_t kMalformed = DenseTable::kNotAscii - 1;

  /// How narrations are walked through the automaton. Every way gives the same answers;
  /// kAuto picks the fastest that fits in memory, the others are there for tests.
  enum class Walk : std::uint8_t {
    kAuto,
    /// The dense table over DenseTable::kAscii, several narrations at once.
    kInterleaved,
    /// The same, one narration at a time.
    kAscii,
    /// The dense table over DenseTable::kAll, after a scan for bytes >= 0x80 and
    /// lowering the narrations holding one.
    kDense,
    /// The trie with failure links: the compact form, which rule sets too large for a
    /// dense table take.
    kTrie,
    /// As kInterleaved, over a dense table of 32-bit entries, which automata of 2^16
    /// states or more take.
    kWide,
  };

  /// `patterns` in priority order, as the rules give them (any letter case).
  explicit Categorizer(std::span<const std::string_view> patterns, Walk walk = Walk::kAuto);

  /// The index of the first rule whose pattern occurs in `narration`, letter case
  /// ignored, or kNone. `scratch` is the caller's buffer for lowering a non-ASCII
  /// narration; reusing it across calls keeps the call free of allocation.
  std::uint32_t rule_for(std::string_view narration, std::string& scratch) const;

  /// The caller's buffers for rules_for(); reusing one per thread keeps calls free of
  /// allocation.
  struct Batch {
    std::string lowered;  // the narrations that are not ASCII, lowered, end to end
    std::vector<std::size_t> rows;
    std::vector<std::size_t> ends;
    std::vector<std::string_view> texts;
    std::vector<std::uint32_t> rules;
    std::size_t malformed = 0;  // narrations answered kMalformed, counted on from 0
  };

  /// rule_for() of each narration into `rules` (as long as `narrations`), -1 for none
  /// and -3 for kMalformed: the fast way to decide many narrations. Needs fewer than 2^31
  /// rules.
  void rules_for(std::span<const std::string_view> narrations, std::int32_t* rules,
                 Batch& batch) const;

  /// Why a narration gets its rule, told in the narration as given.
  struct Explanation {
    /// rule_for(narration), kMalformed included.
    std::uint32_t rule = kNone;
    /// The characters of the narration (code points, `end` exclusive) whose lower-case
    /// forms hold the winning pattern's leftmost occurrence; 0, 0 for an empty pattern.
    std::size_t start = 0;
    std::size_t end = 0;
    /// How many rules' patterns occur in the narration; rules with equal patterns count
    /// once each.
    std::uint32_t matched = 0;
  };

  /// The caller's buffers for explain(); reusing one per thread keeps calls free of
  /// allocation.
  struct Scratch {
    std::string lowered;
    PatternSet::Marks marks;
    DenseTable::EndLog ends;
  };

  /// The rule of `narration` (as rule_for), where its pattern matched, and how many
  /// rules match. Mapping the match back to code points costs only when a non-ASCII
  /// narration matched.
  Explanation explain(std::string_view narration, Scratch& scratch) const;

  /// explain() of each narration into `out` (as long as `narrations`): the fast way to
  /// explain many, walking several at once as rules_for() does.
  void explain_all(std::span<const std::string_view> narrations, Explanation* out,
                   Scratch& scratch) const;

 private:
  // The answer of a narration holding a byte >= 0x80: lowered in full first.
  std::uint32_t lowered_rule(std::string_view narration, std::string& scratch) const;

  // The dense table when narrations go through it over DenseTable::kAscii, else null.
  const DenseTable* ascii_table() const noexcept;

  Walk walk_;
  PatternSet patterns_;
};

/// Gives each transaction the category and merchant of the first rule whose pattern
/// occurs in its narration, letter case ignored, or an empty entry. Never fails.
Result<CategorizeResponse, QuorvaneError> categorize_transactions(const CategorizeRequest& request);

/// Derives at most one rule per (category, merchant) pair of the examples: the word most
/// typical of the pair's narrations. Rules come sorted by category, then merchant, in
/// byte order. Never fails.
Result<DeriveRulesResponse, QuorvaneError> derive_rules(const DeriveRulesRequest& request);

/// One labelled example, viewed in buffers the caller owns.
struct ExampleView {
  std::string_view narration;
  std::string_view category;
  std::string_view merchant;
};

/// The same derivation over examples held elsewhere (Arrow columns): nothing is copied
/// per example. Contiguous ranges of examples are counted on up to `threads` threads,
/// then merged; the rules do not depend on the split.
Result<DeriveRulesResponse, QuorvaneError> derive_rules(std::span<const ExampleView> examples,
                                                        unsigned threads);

/// A row of counts (TokenCountRow, model.h) viewed in buffers the caller owns.
struct TokenCount {
  std::string_view category;
  std::string_view merchant;
  std::string_view token;
  std::uint64_t count = 0;
};

/// The counts of `examples`: a row per (group, token) that some example of the group
/// holds, in byte order of category, merchant, token. A token's corpus count is the sum
/// of its counts over all groups, so counts of separate batches of examples can be
/// merged (merge_counts) and decided later (derive_from_counts).
std::vector<TokenCountRow> derive_counts(std::span<const ExampleView> examples, unsigned threads);

/// Rows of counts with the same (category, merchant, token) added up, in the same order.
std::vector<TokenCountRow> merge_counts(std::span<const TokenCount> rows);

/// Derivation counts fewer examples than this (in 32 bits).
inline constexpr std::uint64_t kExampleLimit = UINT32_MAX;

/// Counts that hold a token in more examples than derivation counts: its counts over all
/// groups add up to kExampleLimit or more.
struct TooManyExamples {
  std::string token;
};

/// The rules that derive_rules gives on the examples the counts were made from; rows
/// for the same (group, token) add up.
Result<DeriveRulesResponse, TooManyExamples> derive_from_counts(std::span<const TokenCount> rows);

/// The counts of examples added batch by batch, kept by id: each distinct group and token
/// once, with a count per (group, token) that some example holds, so that no row of
/// counts is written out between batches. finish() gives the rules derive_rules gives on
/// all the examples added, in any split. Calls from several threads take turns.
class DeriveCounter {
 public:
  /// `expected`: about how many examples will be added (0 if unknown). The tables are
  /// sized for them at once, rather than grown on the way (each growth copies a table
  /// while the old one is still held).
  explicit DeriveCounter(std::size_t expected = 0);
  DeriveCounter(const DeriveCounter&) = delete;
  DeriveCounter& operator=(const DeriveCounter&) = delete;
  ~DeriveCounter();

  /// Counts `examples` (on up to `threads` threads) into the counts so far; nothing of
  /// them is kept but their labels and tokens. After an add() that failed part way (out
  /// of memory) the counts are incomplete: a later add() or finish() is a fault.
  void add(std::span<const ExampleView> examples, unsigned threads);

  /// The rules of every example added so far; the counts stay, for more to be added.
  Result<DeriveRulesResponse, QuorvaneError> finish() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quorvane::categorizer
