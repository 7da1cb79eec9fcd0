// categorizer/dense_table.cpp: building a dense table, and walking it one text or
// several texts at a time.
#include "categorizer/dense_table.h"

#include <algorithm>  // std::min, std::copy_n, std::fill_n, std::stable_sort

#include "bytes.h"

namespace quorvane::categorizer {

DenseTable::DenseTable(const Trie& trie, Alphabet alphabet, std::size_t limit)
    : empty_(trie.empty) {
  // The states covered, in the trie's breadth-first order: a parent comes before its
  // children and a failure state before the states linking to it.
  const bool ascii = alphabet == Alphabet::kAscii;
  const std::size_t states = trie.size();
  std::vector<std::uint32_t> covered{0};
  std::vector<bool> is_covered(states, !ascii);
  is_covered[0] = true;
  std::array<bool, 256> used{};
  for (std::uint32_t s = 0; s < states; ++s) {
    if (!is_covered[s]) continue;
    for (std::uint32_t c = trie.children[s]; c < trie.children[s + 1]; ++c) {
      if (ascii && trie.byte_in[c] >= 0x80) continue;
      is_covered[c] = true;
      covered.push_back(c);
      used[trie.byte_in[c]] = true;
    }
  }

  // A class per byte in some pattern, class 0 for the others, capitals with the small
  // letters; over kAscii, one class for every byte >= 0x80. Then the best column and,
  // over kAll, the state column.
  std::uint32_t classes = 1;
  for (std::size_t b = 0; b < 256; ++b) {
    if (used[b]) classes_[b] = static_cast<std::uint8_t>(classes++);
  }
  for (std::uint8_t b = 'A'; b <= 'Z'; ++b) {
    classes_[b] = classes_[static_cast<unsigned char>(bytes::lower_ascii(static_cast<char>(b)))];
  }
  const std::uint32_t high = classes;
  if (ascii) std::fill_n(classes_.begin() + 128, 128, static_cast<std::uint8_t>(classes++));
  best_ = classes;
  width_ = best_ + (ascii ? 1 : 2);
  const std::size_t rows = covered.size() + (ascii ? 1 : 0);  // and the dead state
  if (rows * width_ * sizeof(std::uint32_t) > limit || rows * width_ > UINT32_MAX - 1) return;

  // Rows in order of best index, states where nothing ends last (the root first among
  // them), the dead state at the very end. The smallest offset a walk passes through is
  // then that of a state with the smallest best index: the walk keeps the minimum of
  // its offsets, one comparison a byte, instead of loading best indexes.
  std::vector<std::uint32_t> order(covered.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return trie.best[covered[a]] < trie.best[covered[b]];
  });
  std::vector<std::uint32_t> offset(states, 0);
  for (std::uint32_t i = 0; i < order.size(); ++i) offset[covered[order[i]]] = i * width_;
  root_ = offset[0];

  // A row starts as its failure state's row (filled earlier) and takes its own edges.
  table_.assign(rows * width_, 0);
  if (ascii) dead_ = static_cast<std::uint32_t>(covered.size()) * width_;
  for (std::uint32_t s : covered) {
    std::uint32_t* row = table_.data() + offset[s];
    if (s == 0) {
      std::fill_n(row, best_, root_);
    } else {
      std::copy_n(table_.data() + offset[trie.fail[s]], best_, row);
    }
    for (std::uint32_t c = trie.children[s]; c < trie.children[s + 1]; ++c) {
      if (is_covered[c]) row[classes_[trie.byte_in[c]]] = offset[c];
    }
    if (ascii) row[high] = dead_;
    row[best_] = trie.best[s];
    if (!ascii) row[best_ + 1] = s;
  }
  if (ascii) {
    std::uint32_t* row = table_.data() + dead_;
    std::fill_n(row, best_, dead_);
    row[best_] = kNone;
  }
}

std::uint32_t DenseTable::walk_from(std::uint32_t at, std::uint32_t lowest,
                                    std::string_view text) const noexcept {
  const std::uint32_t* table = table_.data();
  for (char c : text) {
    at = table[at + classes_[static_cast<std::uint8_t>(c)]];
    lowest = std::min(lowest, at);
  }
  return at == dead_ ? dead_ : lowest;
}

std::uint32_t DenseTable::first_match(std::string_view text) const noexcept {
  return answer(walk_from(root_, root_, text));
}

void DenseTable::first_matches(std::span<const std::string_view> texts, std::uint32_t* out,
                               unsigned lanes) const noexcept {
  if (lanes < kLanes) {
    for (std::size_t i = 0; i < texts.size(); ++i) out[i] = walk_from(root_, root_, texts[i]);
  } else {
    walk_lanes(texts, out);
  }
  // Answers are looked up once all walks are done: the loads of their rows then overlap
  // rather than stall a walk.
  for (std::size_t i = 0; i < texts.size(); ++i) out[i] = answer(out[i]);
}

// Each lane holds one text. The lanes step together, as far as the shortest remaining
// text, with no test for a text's end inside that loop; then each finished text gives
// its end and its lane takes the next text. Once no text is left to take, the texts
// still in lanes are finished one at a time.
void DenseTable::walk_lanes(std::span<const std::string_view> texts,
                            std::uint32_t* out) const noexcept {
  Lane lane[kLanes];
  std::size_t next = 0;
  // Puts the next non-empty text in `into`; empty texts end at once.
  auto take = [&](Lane& into) {
    for (; next < texts.size(); ++next) {
      if (texts[next].empty()) {
        out[next] = root_;
        continue;
      }
      into = {reinterpret_cast<const unsigned char*>(texts[next].data()), texts[next].size(),
              next++, root_, root_};
      return true;
    }
    return false;
  };
  auto finish = [&](const Lane& l) {
    out[l.slot] = walk_from(l.at, l.lowest, {reinterpret_cast<const char*>(l.text), l.left});
  };
  for (unsigned l = 0; l < kLanes; ++l) {
    if (!take(lane[l])) {
      for (unsigned m = 0; m < l; ++m) finish(lane[m]);
      return;
    }
  }
  for (;;) {
    std::size_t step = lane[0].left;
    for (unsigned l = 1; l < kLanes; ++l) step = std::min(step, lane[l].left);
    advance(lane, step);
    for (unsigned l = 0; l < kLanes; ++l) {
      if (lane[l].left != 0) continue;
      out[lane[l].slot] = lane[l].at == dead_ ? dead_ : lane[l].lowest;
      if (!take(lane[l])) {
        for (unsigned m = 0; m < kLanes; ++m) {
          if (m != l) finish(lane[m]);
        }
        return;
      }
    }
  }
}

// Four lanes by hand, each in its own variables: they must all stay in registers
// (arrays of lanes tempt the compiler into vector code that costs more than it saves).
// The index runs from -count up to 0, so that no register holds the end.
void DenseTable::advance(Lane* lanes, std::size_t count) const noexcept {
  static_assert(kLanes == 4);
  const std::uint32_t* table = table_.data();
  const std::uint8_t* classes = classes_.data();
  std::size_t s0 = lanes[0].at, s1 = lanes[1].at, s2 = lanes[2].at, s3 = lanes[3].at;
  std::size_t m0 = lanes[0].lowest, m1 = lanes[1].lowest, m2 = lanes[2].lowest,
              m3 = lanes[3].lowest;
  const unsigned char* p0 = lanes[0].text + count;
  const unsigned char* p1 = lanes[1].text + count;
  const unsigned char* p2 = lanes[2].text + count;
  const unsigned char* p3 = lanes[3].text + count;
  for (auto j = -static_cast<std::ptrdiff_t>(count); j != 0; ++j) {
    s0 = table[s0 + classes[p0[j]]];
    m0 = std::min(m0, s0);
    s1 = table[s1 + classes[p1[j]]];
    m1 = std::min(m1, s1);
    s2 = table[s2 + classes[p2[j]]];
    m2 = std::min(m2, s2);
    s3 = table[s3 + classes[p3[j]]];
    m3 = std::min(m3, s3);
  }
  const std::size_t states[kLanes] = {s0, s1, s2, s3};
  const std::size_t lowest[kLanes] = {m0, m1, m2, m3};
  for (unsigned l = 0; l < kLanes; ++l) {
    lanes[l].text += count;
    lanes[l].left -= count;
    lanes[l].at = static_cast<std::uint32_t>(states[l]);
    lanes[l].lowest = static_cast<std::uint32_t>(lowest[l]);
  }
}

}  // namespace quorvane::categorizer
