// categorizer/dense_table.h: the automaton as one dense transition table, letter case
// folded into its byte classes, walked one text or several texts at a time.
#pragma once

#include <algorithm>  // std::min
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "categorizer/trie.h"

namespace quorvane::categorizer {

/// A dense transition table over a trie's states: one row per state, one column per
/// class of bytes. ASCII capitals share the classes of the small letters, so an ASCII
/// text is searched as it is, never copied to a lower-cased buffer.
///
/// Over kAscii, the table holds only the states reached by ASCII bytes, and every byte
/// >= 0x80 leads to a dead state that keeps the walk there: such a text's answer is
/// kNotAscii, since it needs the full Unicode lower-casing first. Patterns holding such
/// bytes can only occur in such texts, so they are never missed, and the table stays
/// as narrow as the ASCII bytes of the patterns make it.
class DenseTable {
 public:
  static constexpr std::uint32_t kNone = Trie::kNone;
  /// The answer for a text holding a byte >= 0x80, over kAscii.
  static constexpr std::uint32_t kNotAscii = Trie::kNone - 1;
  /// Texts walked at once by first_matches().
  static constexpr unsigned kLanes = 4;

  /// The states and bytes a table covers.
  enum class Alphabet : std::uint8_t { kAscii, kAll };

  /// The table of `trie` over `alphabet`, or none (empty()) when it would take more
  /// than `limit` bytes.
  DenseTable(const Trie& trie, Alphabet alphabet, std::size_t limit);

  bool empty() const noexcept { return table_.empty(); }

  /// The smallest index of a pattern occurring in `text` (capitals read as small
  /// letters), kNone if none occurs, or kNotAscii. Needs a table.
  std::uint32_t first_match(std::string_view text) const noexcept;

  /// first_match() of each text into `out` (as long as `texts`), walking kLanes texts
  /// at a time so that their table loads overlap (one at a time when `lanes` is
  /// smaller). Needs a table.
  void first_matches(std::span<const std::string_view> texts, std::uint32_t* out,
                     unsigned lanes = kLanes) const noexcept;

  /// A walk one byte at a time, for callers that look at every state (kAll only): the
  /// start, the next position, whether a pattern ends at a position (here or at a
  /// suffix), and the trie state of a position.
  std::uint32_t start() const noexcept { return root_; }
  std::uint32_t next(std::uint32_t at, char byte) const noexcept {
    return table_[at + classes_[static_cast<std::uint8_t>(byte)]];
  }
  bool ends_pattern(std::uint32_t at) const noexcept { return at < root_; }
  std::uint32_t state(std::uint32_t at) const noexcept { return table_[at + width_ - 1]; }

 private:
  // A text being walked.
  struct Lane {
    const unsigned char* text;  // the bytes not yet read
    std::size_t left;
    std::size_t slot;  // where its answer goes
    std::uint32_t at;
    std::uint32_t lowest;  // the smallest row offset passed: see the constructor
  };

  // Walks `count` bytes of each of kLanes lanes.
  void advance(Lane* lanes, std::size_t count) const noexcept;

  // Walks kLanes texts at a time, writing where each ends (as walk_from).
  void walk_lanes(std::span<const std::string_view> texts, std::uint32_t* out) const noexcept;

  // Goes on from `at` over `text`, and gives where the walk ended: the dead state's
  // offset, or the smallest offset passed (`lowest` included).
  std::uint32_t walk_from(std::uint32_t at, std::uint32_t lowest,
                          std::string_view text) const noexcept;

  // The answer of a walk that ended as walk_from() says.
  std::uint32_t answer(std::uint32_t end) const noexcept {
    return end == dead_ ? kNotAscii : std::min(empty_, table_[end + best_]);
  }

  // The first empty pattern: it occurs in every text.
  std::uint32_t empty_ = kNone;
  std::array<std::uint8_t, 256> classes_{};
  // Rows of width_ entries: one per class, the next state's row offset (its row number
  // premultiplied by width_); then the state's best index (column best_) and, over
  // kAll, its trie state.
  std::uint32_t width_ = 0;
  std::uint32_t best_ = 0;
  std::uint32_t root_ = 0;           // the root's row offset
  std::uint32_t dead_ = UINT32_MAX;  // the dead state's row offset (kAscii)
  std::vector<std::uint32_t> table_;
};

}  // namespace quorvane::categorizer
