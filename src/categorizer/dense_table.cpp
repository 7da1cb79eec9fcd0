// categorizer/dense_table.cpp: building a dense table, and walking it one text or
// several texts at a time.
#include "categorizer/dense_table.h"

#include <algorithm>  // std::min, std::fill_n
#include <vector>

#include "bytes.h"

namespace quorvane::categorizer {

namespace {

// Fills the columns of `table`, `stride` entries each (one per row), from `trie`, state s
// in row `row[s]` and the dead state in the last row. Every entry is written.
template <class Entry>
void fill(const Trie& trie, const std::array<std::uint8_t, 256>& classes, std::uint32_t dead_column,
          const std::vector<std::uint32_t>& row, std::size_t stride, Entry* table) {
  const std::size_t states = trie.size();
  const auto root = static_cast<Entry>(row[0]);
  const auto dead = static_cast<Entry>(states);
  // States are in breadth-first order, so a row starts as its failure state's row
  // (filled earlier: it is shallower) and takes its own edges.
  for (std::size_t s = 0; s < states; ++s) {
    const std::size_t r = row[s];
    if (s == 0) {
      for (std::uint32_t c = 0; c < dead_column; ++c) table[c * stride + r] = root;
      table[dead_column * stride + r] = dead;
    } else {
      const std::size_t f = row[trie.fail[s]];
      for (std::uint32_t c = 0; c <= dead_column; ++c)
        table[c * stride + r] = table[c * stride + f];
    }
    for (std::uint32_t c = trie.children[s]; c < trie.children[s + 1]; ++c) {
      table[classes[trie.byte_in[c]] * stride + r] = static_cast<Entry>(row[c]);
    }
  }
  for (std::uint32_t c = 0; c <= dead_column; ++c) table[c * stride + states] = dead;
}

}  // namespace

DenseTable::DenseTable(const Trie& trie, std::size_t limit, Entries entries) : empty_(trie.empty) {
  // A column per byte in some pattern, column 0 for the others, capitals with the small
  // letters. Then the dead column: every byte >= 0x80 over kAscii.
  std::array<bool, 256> used{};
  for (std::size_t s = 1; s < trie.size(); ++s) used[trie.byte_in[s]] = true;
  std::array<std::array<std::uint8_t, 256>, 2> classes{};
  std::array<std::uint8_t, 256>& all = classes[1];
  std::uint32_t columns = 1;
  for (std::size_t b = 0; b < 256; ++b) {
    if (used[b]) all[b] = static_cast<std::uint8_t>(columns++);
  }
  for (std::uint8_t b = 'A'; b <= 'Z'; ++b) {
    all[b] = all[static_cast<unsigned char>(bytes::lower_ascii(static_cast<char>(b)))];
  }
  const std::uint32_t dead_column = columns++;
  classes[0] = all;
  std::fill_n(classes[0].begin() + 128, 128, static_cast<std::uint8_t>(dead_column));
  const std::size_t states = trie.size();
  const std::size_t rows = states + 1;  // and the dead state
  const bool narrow = entries == Entries::kFit && rows <= std::size_t{1} << 16;
  const std::size_t entry = narrow ? sizeof(std::uint16_t) : sizeof(std::uint32_t);
  if (rows * (columns * entry + 2 * sizeof(std::uint32_t)) > limit || rows > UINT32_MAX) return;

  // Rows in order of best index (a counting sort), states where nothing ends last, the
  // root first among them, the dead state at the very end. The smallest row a walk
  // passes through is then that of a state with the smallest best index: the walk keeps
  // the minimum of its rows, one comparison a byte, instead of loading best indexes.
  const std::size_t patterns = trie.lengths.size();
  auto key = [&](std::size_t s) { return std::min<std::size_t>(trie.best[s], patterns); };
  std::vector<std::uint32_t> first(patterns + 2, 0);  // the first free row of each key
  for (std::size_t s = 0; s < states; ++s) ++first[key(s) + 1];
  for (std::size_t k = 1; k < first.size(); ++k) first[k] += first[k - 1];
  std::vector<std::uint32_t> row_of(states);
  for (std::size_t s = 0; s < states; ++s) row_of[s] = first[key(s)]++;
  root_ = row_of[0];
  dead_ = static_cast<std::uint32_t>(states);
  best_.resize(rows);
  state_.resize(rows);
  for (std::uint32_t s = 0; s < states; ++s) {
    best_[row_of[s]] = trie.best[s];
    state_[row_of[s]] = s;
  }
  best_[dead_] = kNone;
  state_[dead_] = 0;

  auto build = [&](auto& into) {
    using Entry = std::remove_reference_t<decltype(*into.table.get())>;
    into.table = std::make_unique_for_overwrite<Entry[]>(rows * columns);
    fill(trie, all, dead_column, row_of, rows, into.table.get());
    for (std::size_t map = 0; map < 2; ++map) {
      for (std::size_t b = 0; b < 256; ++b) {
        into.column[map][b] = into.table.get() + classes[map][b] * rows;
      }
    }
  };
  if (narrow) {
    build(narrow_);
  } else {
    build(wide_);
  }
}

template <class Entry>
std::uint32_t DenseTable::walk_from(std::uint32_t at, std::uint32_t lowest, std::string_view text,
                                    const Entry* const* columns) const noexcept {
  for (char c : text) {
    at = columns[static_cast<std::uint8_t>(c)][at];
    lowest = std::min(lowest, at);
  }
  return at == dead_ ? dead_ : lowest;
}

std::uint32_t DenseTable::first_match(std::string_view text, Alphabet alphabet) const noexcept {
  const std::size_t map = alphabet == Alphabet::kAll ? 1 : 0;
  return answer(narrow_.table != nullptr ? walk_from(root_, root_, text, narrow_.column[map].data())
                                         : walk_from(root_, root_, text, wide_.column[map].data()));
}

template <class Entry>
void DenseTable::end_rows(std::span<const std::string_view> texts, std::uint32_t* out,
                          const Entry* const* columns, unsigned lanes) const noexcept {
  if (lanes < kLanes) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      out[i] = walk_from(root_, root_, texts[i], columns);
    }
  } else {
    walk_lanes<false>(texts, columns, out, {});
  }
}

void DenseTable::first_matches(std::span<const std::string_view> texts, std::uint32_t* out,
                               Alphabet alphabet, unsigned lanes) const noexcept {
  const std::size_t map = alphabet == Alphabet::kAll ? 1 : 0;
  if (narrow_.table != nullptr) {
    end_rows(texts, out, narrow_.column[map].data(), lanes);
  } else {
    end_rows(texts, out, wide_.column[map].data(), lanes);
  }
  // Answers are looked up once all walks are done: the loads of their rows then overlap
  // rather than stall a walk.
  for (std::size_t i = 0; i < texts.size(); ++i) out[i] = answer(out[i]);
}

void DenseTable::log_lanes(std::span<const std::string_view> texts, Alphabet alphabet,
                           Logging logging) const {
  const std::size_t map = alphabet == Alphabet::kAll ? 1 : 0;
  if (narrow_.table != nullptr) {
    walk_lanes<true>(texts, narrow_.column[map].data(), nullptr, logging);
  } else {
    walk_lanes<true>(texts, wide_.column[map].data(), nullptr, logging);
  }
}

template <class Entry>
std::uint32_t DenseTable::log_from(std::uint32_t at, std::string_view text, std::size_t read,
                                   const Entry* const* columns, std::vector<End>& ends) const {
  for (std::size_t i = 0; i < text.size(); ++i) {
    at = columns[static_cast<std::uint8_t>(text[i])][at];
    if (at < root_) ends.push_back({at, read + i + 1});
  }
  return at;
}

// Each lane holds one text. The lanes step together, as far as the shortest remaining
// text, with no test for a text's end inside that loop; then each finished text gives
// its end and its lane takes the next text. Once no text is left to take, the texts
// still in lanes are finished one at a time.
//
// When logging, a lane's log has room for an entry per byte of its text (texts longer
// than kLaneBytes are walked on their own as they come), and a finished text's entries
// are handed on from there.
template <bool kLog, class Entry>
void DenseTable::walk_lanes(std::span<const std::string_view> texts, const Entry* const* columns,
                            std::uint32_t* out, Logging logging) const {
  Lane lane[kLanes];
  std::size_t next = 0;
  // Text `slot`, its first `read` bytes walked from lane `l` (if any), walked on its own
  // from `at` to its end.
  auto walk_alone = [&](std::size_t slot, const Lane* l, std::uint32_t at, std::string_view text,
                        std::size_t read) {
    std::vector<End>& ends = logging.log->alone_;
    ends.assign(l != nullptr ? l->log : nullptr, l != nullptr ? l->logged : nullptr);
    at = log_from(at, text.substr(read), read, columns, ends);
    logging.call(logging.visit, slot, ends, at != dead_);
  };
  // Puts the next text that needs a lane in lane `l`; empty texts end at once.
  auto take = [&](unsigned l) {
    for (; next < texts.size(); ++next) {
      const std::string_view text = texts[next];
      if constexpr (kLog) {
        if (text.empty() || text.size() > kLaneBytes) {
          walk_alone(next, nullptr, root_, text, 0);
          continue;
        }
      } else if (text.empty()) {
        out[next] = root_;
        continue;
      }
      Lane& into = lane[l];
      into.text = into.begin = reinterpret_cast<const unsigned char*>(text.data());
      into.left = text.size();
      into.slot = next++;
      into.at = into.lowest = root_;
      into.log = into.logged = nullptr;
      if constexpr (kLog) {
        std::vector<End>& entries = logging.log->lanes_[l];
        if (entries.size() < text.size()) entries.resize(text.size());
        into.log = into.logged = entries.data();
      }
      return true;
    }
    return false;
  };
  // Lane `l`'s text has been read to its end.
  auto ended = [&](const Lane& l) {
    if constexpr (kLog) {
      logging.call(logging.visit, l.slot, {l.log, l.logged}, l.at != dead_);
    } else {
      out[l.slot] = l.at == dead_ ? dead_ : l.lowest;
    }
  };
  // Lane `l`'s text read to its end one byte at a time.
  auto finish = [&](const Lane& l) {
    if constexpr (kLog) {
      const auto read = static_cast<std::size_t>(l.text - l.begin);
      walk_alone(l.slot, &l, l.at, {reinterpret_cast<const char*>(l.begin), read + l.left}, read);
    } else {
      out[l.slot] =
          walk_from(l.at, l.lowest, {reinterpret_cast<const char*>(l.text), l.left}, columns);
    }
  };
  for (unsigned l = 0; l < kLanes; ++l) {
    if (!take(l)) {
      for (unsigned m = 0; m < l; ++m) finish(lane[m]);
      return;
    }
  }
  // The lane whose text ends first: the one with the fewest bytes left.
  auto first_to_end = [&] {
    unsigned k = 0;
    for (unsigned l = 1; l < kLanes; ++l) k = lane[l].left < lane[k].left ? l : k;
    return k;
  };
  for (unsigned k = first_to_end();;) {
    advance<kLog>(lane, lane[k].left, columns);
    // Lane k has ended, and so has any other that had as many bytes left; testing each
    // lane for its end instead would mispredict a branch at every step.
    do {
      ended(lane[k]);
      if (!take(k)) {
        for (unsigned m = 0; m < kLanes; ++m) {
          if (m != k) finish(lane[m]);
        }
        return;
      }
      k = first_to_end();
    } while (lane[k].left == 0);
  }
}

// Four lanes by hand, each in its own variables: they must all stay in registers
// (arrays of lanes tempt the compiler into vector code that costs more than it saves).
// The index runs from -count up to 0, so that no register holds the end.
//
// A logging walk writes an entry where a pattern ends, holding the row and the step's
// index; the index becomes a position in the text once the steps are done. (An entry
// written at every step, kept only where a pattern ends, is no faster: its next address
// waits on the step's load. Nor is the row of every step stored at its position and
// searched afterwards: more stores than registers to spare.)
template <bool kLog, class Entry>
void DenseTable::advance(Lane* lanes, std::size_t count,
                         const Entry* const* columns) const noexcept {
  static_assert(kLanes == 4);
  const std::size_t root = root_;
  std::size_t s0 = lanes[0].at, s1 = lanes[1].at, s2 = lanes[2].at, s3 = lanes[3].at;
  std::size_t m0 = lanes[0].lowest, m1 = lanes[1].lowest, m2 = lanes[2].lowest,
              m3 = lanes[3].lowest;
  End *l0 = lanes[0].logged, *l1 = lanes[1].logged, *l2 = lanes[2].logged, *l3 = lanes[3].logged;
  const unsigned char* p0 = lanes[0].text + count;
  const unsigned char* p1 = lanes[1].text + count;
  const unsigned char* p2 = lanes[2].text + count;
  const unsigned char* p3 = lanes[3].text + count;
  for (auto j = -static_cast<std::ptrdiff_t>(count); j != 0; ++j) {
    s0 = columns[p0[j]][s0];
    s1 = columns[p1[j]][s1];
    s2 = columns[p2[j]][s2];
    s3 = columns[p3[j]][s3];
    if constexpr (kLog) {
      const auto step = static_cast<std::size_t>(j);
      if (s0 < root) [[unlikely]]
        *l0++ = {static_cast<std::uint32_t>(s0), step};
      if (s1 < root) [[unlikely]]
        *l1++ = {static_cast<std::uint32_t>(s1), step};
      if (s2 < root) [[unlikely]]
        *l2++ = {static_cast<std::uint32_t>(s2), step};
      if (s3 < root) [[unlikely]]
        *l3++ = {static_cast<std::uint32_t>(s3), step};
    } else {
      m0 = std::min(m0, s0);
      m1 = std::min(m1, s1);
      m2 = std::min(m2, s2);
      m3 = std::min(m3, s3);
    }
  }
  const std::size_t states[kLanes] = {s0, s1, s2, s3};
  const std::size_t lowest[kLanes] = {m0, m1, m2, m3};
  End* const logged[kLanes] = {l0, l1, l2, l3};
  for (unsigned l = 0; l < kLanes; ++l) {
    Lane& lane = lanes[l];
    if constexpr (kLog) {
      // Step j read the byte at (text + count + j): its position, counted from one.
      // (The step is negative: the sum wraps around to the position.)
      const auto read = static_cast<std::size_t>(lane.text - lane.begin) + count + 1;
      for (End* e = lane.logged; e != logged[l]; ++e) e->at += read;
      lane.logged = logged[l];
    }
    lane.text += count;
    lane.left -= count;
    lane.at = static_cast<std::uint32_t>(states[l]);
    lane.lowest = static_cast<std::uint32_t>(lowest[l]);
  }
}

}  // namespace quorvane::categorizer
