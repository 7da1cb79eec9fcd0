// categorizer/dense_table.h: the automaton as one dense transition table, letter case
// folded into its byte classes, walked one text or several texts at a time.
#pragma once

#include <algorithm>  // std::min
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>  // std::unique_ptr
#include <span>
#include <string_view>
#include <type_traits>  // std::remove_reference_t
#include <vector>

#include "categorizer/trie.h"

namespace quorvane::categorizer {

/// A dense transition table over a trie's states: one row per state, one column per
/// class of bytes, laid out column by column. ASCII capitals share the classes of the
/// small letters, so an ASCII text is searched as it is, never copied to a lower-cased
/// buffer.
///
/// The table is walked through one of two maps from bytes to columns. kAll is the
/// automaton itself. kAscii sends every byte >= 0x80 to a dead state that keeps the
/// walk there: such a text's answer is kNotAscii, since it needs the full Unicode
/// lower-casing first; that costs nothing on the way, where a separate scan for such
/// bytes would read every text twice. Patterns holding such bytes can only occur in
/// such texts, so an ASCII text's answer is the same either way.
class DenseTable {
 public:
  static constexpr std::uint32_t kNone = Trie::kNone;
  /// The answer for a text holding a byte >= 0x80, walked over kAscii.
  static constexpr std::uint32_t kNotAscii = Trie::kNone - 1;
  /// Texts walked at once by first_matches() and pattern_ends().
  static constexpr unsigned kLanes = 4;
  /// Texts longer than this are walked one at a time by pattern_ends(), so that a lane's
  /// log stays small.
  static constexpr std::size_t kLaneBytes = std::size_t{1} << 16;

  /// How a walk reads bytes >= 0x80: see the class comment.
  enum class Alphabet : std::uint8_t { kAscii, kAll };

  /// The size of an entry: 16 bits when the rows allow it, else 32 (kWide forces 32, so
  /// that tests walk that table on small automata too).
  enum class Entries : std::uint8_t { kFit, kWide };

  /// The table of `trie`, or none (empty()) when it would take more than `limit` bytes.
  DenseTable(const Trie& trie, std::size_t limit, Entries entries = Entries::kFit);

  bool empty() const noexcept { return narrow_.table == nullptr && wide_.table == nullptr; }

  /// The smallest index of a pattern occurring in `text` (capitals read as small
  /// letters), kNone if none occurs, or kNotAscii. Needs a table.
  std::uint32_t first_match(std::string_view text, Alphabet alphabet) const noexcept;

  /// first_match() of each text into `out` (as long as `texts`), walking kLanes texts
  /// at a time so that their table loads overlap (one at a time when `lanes` is
  /// smaller). Needs a table.
  void first_matches(std::span<const std::string_view> texts, std::uint32_t* out, Alphabet alphabet,
                     unsigned lanes = kLanes) const noexcept;

  /// A position where a pattern ends (here or at a suffix): after `at` bytes of a text,
  /// in the state of row `row` (state() gives its trie state).
  struct End {
    std::uint32_t row;
    std::size_t at;
  };

  /// The caller's buffers for pattern_ends(), reused from call to call.
  class EndLog {
   private:
    friend class DenseTable;
    std::array<std::vector<End>, kLanes> lanes_;  // each lane's ends as it goes
    std::vector<End> alone_;                      // those of a text walked on its own
  };

  /// Walks each text (kLanes at a time, as first_matches()) and calls
  /// visit(i, ends, complete) once for each text i, in no set order: `ends` are the
  /// positions where patterns end in it, in order; `complete` is false (and `ends`
  /// partial) when, walked over kAscii, it holds a byte >= 0x80. Needs a table.
  template <class Visit>
  void pattern_ends(std::span<const std::string_view> texts, Alphabet alphabet, EndLog& log,
                    Visit&& visit) const {
    log_lanes(texts, alphabet,
              {&log, &visit, [](void* v, std::size_t i, std::span<const End> ends, bool complete) {
                 (*static_cast<std::remove_reference_t<Visit>*>(v))(i, ends, complete);
               }});
  }

  /// A walk over kAll one byte at a time, for callers that look at every state: the
  /// start, the next position, whether a pattern ends at a position (here or at a
  /// suffix), and the trie state of a position.
  std::uint32_t start() const noexcept { return root_; }
  std::uint32_t next(std::uint32_t at, char byte) const noexcept {
    const auto b = static_cast<std::uint8_t>(byte);
    return narrow_.table != nullptr ? narrow_.column[1][b][at] : wide_.column[1][b][at];
  }
  bool ends_pattern(std::uint32_t at) const noexcept { return at < root_; }
  std::uint32_t state(std::uint32_t at) const noexcept { return state_[at]; }

 private:
  // A text being walked.
  // Where a logging walk keeps its ends, and whom it tells of each text's.
  struct Logging {
    EndLog* log;
    void* visit;
    void (*call)(void* visit, std::size_t text, std::span<const End> ends, bool complete);
  };

  struct Lane {
    const unsigned char* text;  // the bytes not yet read
    std::size_t left;
    std::size_t slot;  // where its answer goes
    std::uint32_t at;
    std::uint32_t lowest;  // the smallest row passed: see the constructor
    // When logging: the text's first byte, and the lane's log and its next free entry.
    const unsigned char* begin;
    End* log;
    End* logged;
  };

  // The table with entries of one size: each column holds an entry per row (the next
  // state's row), and each byte's column is an address, over kAscii and over kAll.
  template <class Entry>
  struct Columns {
    std::unique_ptr<Entry[]> table;
    std::array<std::array<const Entry*, 256>, 2> column{};
  };

  // Walks `count` bytes of each of kLanes lanes, reading bytes through `columns`; with
  // kLog, logs where patterns end instead of keeping the lowest row. Kept out of line:
  // inlined into walk_lanes (as -O3 does), the loop had too few registers for the four
  // lanes and reloaded three text pointers from the stack at every step.
  template <bool kLog, class Entry>
  [[gnu::noinline]] void advance(Lane* lanes, std::size_t count,
                                 const Entry* const* columns) const noexcept;

  // Walks kLanes texts at a time: without kLog, writes where each ends (as walk_from)
  // to `out`; with kLog, logs their pattern ends as `logging` says.
  template <bool kLog, class Entry>
  void walk_lanes(std::span<const std::string_view> texts, const Entry* const* columns,
                  std::uint32_t* out, Logging logging) const;

  // walk_lanes<true> over the table that is there.
  void log_lanes(std::span<const std::string_view> texts, Alphabet alphabet, Logging logging) const;

  // Goes on from `at` over `text`, the bytes after the first `read` of a text, appending
  // where patterns end to `ends`; gives the row it ended at.
  template <class Entry>
  std::uint32_t log_from(std::uint32_t at, std::string_view text, std::size_t read,
                         const Entry* const* columns, std::vector<End>& ends) const;

  // Goes on from `at` over `text`, and gives where the walk ended: the dead state's
  // row, or the smallest row passed (`lowest` included).
  template <class Entry>
  std::uint32_t walk_from(std::uint32_t at, std::uint32_t lowest, std::string_view text,
                          const Entry* const* columns) const noexcept;

  // first_matches() through `columns`, before the answers are looked up.
  template <class Entry>
  void end_rows(std::span<const std::string_view> texts, std::uint32_t* out,
                const Entry* const* columns, unsigned lanes) const noexcept;

  // The answer of a walk that ended as walk_from() says.
  std::uint32_t answer(std::uint32_t end) const noexcept {
    return end == dead_ ? kNotAscii : std::min(empty_, best_[end]);
  }

  // The first empty pattern: it occurs in every text.
  std::uint32_t empty_ = kNone;
  std::uint32_t root_ = 0;  // the root's row
  std::uint32_t dead_ = 0;  // the dead state's row
  // One of the two is there: 16-bit entries when every row's number fits.
  Columns<std::uint16_t> narrow_;
  Columns<std::uint32_t> wide_;
  // Per row: the state's best index, and its trie state.
  std::vector<std::uint32_t> best_;
  std::vector<std::uint32_t> state_;
};

}  // namespace quorvane::categorizer
