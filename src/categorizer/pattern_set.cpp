// categorizer/pattern_set.cpp: multi-pattern search with priorities (Aho-Corasick).
#include "categorizer/pattern_set.h"

#include <algorithm>  // std::min, std::fill

#include "bytes.h"

namespace quorvane::categorizer {

PatternSet::PatternSet(const std::vector<std::string>& patterns, std::size_t dense_limit)
    : trie_(patterns), dense_(trie_, dense_limit) {}

std::uint32_t PatternSet::first_match(std::string_view text) const {
  if (!dense_.empty()) return dense_.first_match(text, DenseTable::Alphabet::kAll);
  std::uint32_t best = trie_.empty;
  if (best == 0 || trie_.size() == 1) return best;
  std::uint32_t state = 0;
  for (char c : text) {
    state = trie_.next(state, static_cast<std::uint8_t>(bytes::lower_ascii(c)));
    best = std::min(best, trie_.best[state]);
    if (best == 0) break;  // nothing comes before the first pattern
  }
  return best;
}

void PatternSet::first_matches(std::span<const std::string_view> texts, std::uint32_t* out) const {
  if (!dense_.empty()) return dense_.first_matches(texts, out, DenseTable::Alphabet::kAll);
  for (std::size_t i = 0; i < texts.size(); ++i) out[i] = first_match(texts[i]);
}

PatternSet::Occurrences PatternSet::occurrences(std::string_view text, Marks& marks) const {
  if (marks.stamp_.size() != trie_.size()) {
    marks.stamp_.assign(trie_.size(), 0);
    marks.text_ = 0;
  }
  if (++marks.text_ == 0) {  // after 2^32 - 1 texts, the stamps start again
    std::fill(marks.stamp_.begin(), marks.stamp_.end(), 0);
    marks.text_ = 1;
  }
  const std::uint32_t stamp = marks.text_;
  std::uint32_t* stamps = marks.stamp_.data();
  Occurrences found;
  // At a state where patterns end (here or at a suffix), after `end` bytes. A pattern's
  // first end is where the running best first reaches it, so the end recorded with the
  // final best is that of its leftmost occurrence. Each ending state is counted once per
  // text: the walk along the suffix chain stops at a state already counted, whose own
  // chain was counted with it.
  const Trie& trie = trie_;
  auto reached = [&](std::uint32_t state, std::size_t end) {
    if (trie.best[state] < found.first) {
      found.first = trie.best[state];
      found.end = end;
    }
    for (std::uint32_t s = trie.ends[state] != 0 ? state : trie.out[state];
         s != kNone && stamps[s] != stamp; s = trie.out[s]) {
      stamps[s] = stamp;
      found.count += trie.ends[s];
    }
  };
  if (!dense_.empty()) {
    std::uint32_t at = dense_.start();
    for (std::size_t i = 0; i < text.size(); ++i) {
      at = dense_.next(at, text[i]);
      if (dense_.ends_pattern(at)) reached(dense_.state(at), i + 1);
    }
  } else {
    std::uint32_t state = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      state = trie.next(state, static_cast<std::uint8_t>(bytes::lower_ascii(text[i])));
      if (trie.best[state] != kNone) reached(state, i + 1);
    }
  }
  if (trie.empty != kNone) {
    found.count += trie.empty_count;
    if (trie.empty < found.first) {
      found.first = trie.empty;
      found.end = 0;
    }
  }
  if (found.end != 0) found.start = found.end - trie.lengths[found.first];
  return found;
}

}  // namespace quorvane::categorizer
