// categorizer/pattern_set.h: which of many patterns, in priority order, occurs first
// in a text, in one pass over the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "categorizer/dense_table.h"
#include "categorizer/trie.h"

namespace quorvane::categorizer {

/// A multi-pattern automaton (Aho-Corasick) over byte strings. Pattern i has priority
/// i; a query answers the smallest i whose pattern occurs anywhere in the text, which
/// is exactly what trying the patterns one by one and stopping at the first hit gives.
/// ASCII capitals in a text are read as small letters, so an ASCII text need not be
/// lowered before a query; the patterns themselves must hold no ASCII capitals.
class PatternSet {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;
  /// Bytes the dense table may take before queries walk the trie with failure links
  /// instead: 16 MiB covers some twenty thousand patterns.
  static constexpr std::size_t kDenseLimit = std::size_t{16} << 20;

  /// Builds the automaton of `patterns`. Tests pass a small `dense_limit` to check the
  /// trie walk on small pattern sets, or kWide entries; every layout gives the same
  /// answers.
  explicit PatternSet(const std::vector<std::string>& patterns,
                      std::size_t dense_limit = kDenseLimit,
                      DenseTable::Entries entries = DenseTable::Entries::kFit);

  /// The dense table, or null when the pattern set is too large for one (within the
  /// budget given): walks through it may also read bytes over DenseTable::kAscii.
  const DenseTable* table() const noexcept { return dense_.empty() ? nullptr : &dense_; }

  /// The smallest index of a pattern occurring in `text`, or kNone. An empty pattern
  /// occurs in every text.
  std::uint32_t first_match(std::string_view text) const;

  /// first_match() of each text into `out` (as long as `texts`), several texts at a
  /// time where the dense table is there.
  void first_matches(std::span<const std::string_view> texts, std::uint32_t* out) const;

  /// What a whole walk over a text finds, beyond the first match.
  struct Occurrences {
    /// first_match(text).
    std::uint32_t first = kNone;
    /// Bytes [start, end) of the leftmost occurrence of pattern `first` in the text; 0, 0
    /// when `first` is empty or none.
    std::size_t start = 0;
    std::size_t end = 0;
    /// How many patterns occur in the text: each index counts, so equal patterns count
    /// once each, and every empty pattern counts.
    std::uint32_t count = 0;
  };

  /// The states an occurrences() walk has counted in the current text: one per thread,
  /// reused from text to text, so that a walk allocates nothing.
  class Marks {
   private:
    friend class PatternSet;
    std::vector<std::uint32_t> stamp_;  // per state: the text that last counted it
    std::uint32_t text_ = 0;
  };

  /// first_match(text), where the first pattern's leftmost occurrence lies, and how many
  /// patterns occur in `text`. Reads the whole text (first_match may stop early), and
  /// costs one step per distinct pattern end reached beyond the walk itself.
  Occurrences occurrences(std::string_view text, Marks& marks) const;

  /// The same for a text whose walk through the dense table met `ends` (all of them, in
  /// order: DenseTable::pattern_ends()).
  Occurrences occurrences(std::span<const DenseTable::End> ends, Marks& marks) const;

 private:
  // Counting one text's occurrences: a fresh stamp in `marks`; then each state where
  // patterns end, reached after `end` bytes; then the empty patterns and the span.
  static std::uint32_t new_text(Marks& marks, std::size_t states);
  void reached(std::uint32_t state, std::size_t end, std::uint32_t stamp, std::uint32_t* stamps,
               Occurrences& found) const noexcept;
  void close(Occurrences& found) const noexcept;

  Trie trie_;
  // Every state and byte, when the table fits the memory budget; otherwise the trie's
  // edges and failure links are walked.
  DenseTable dense_;
};

}  // namespace quorvane::categorizer
