// categorizer/pattern_set.cpp: multi-pattern search with priorities (Aho-Corasick).
#include "categorizer/pattern_set.h"

#include <algorithm>  // std::min, std::fill

#include "bytes.h"

namespace quorvane::categorizer {

PatternSet::PatternSet(const std::vector<std::string>& patterns, std::size_t dense_limit,
                       DenseTable::Entries entries)
    : trie_(patterns), dense_(trie_, dense_limit, entries) {}

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

std::uint32_t PatternSet::new_text(Marks& marks, std::size_t states) {
  if (marks.stamp_.size() != states) {
    marks.stamp_.assign(states, 0);
    marks.text_ = 0;
  }
  if (++marks.text_ == 0) {  // after 2^32 - 1 texts, the stamps start again
    std::fill(marks.stamp_.begin(), marks.stamp_.end(), 0);
    marks.text_ = 1;
  }
  return marks.text_;
}

// A pattern's first end is where the running best first reaches it, so the end recorded
// with the final best is that of its leftmost occurrence. Each ending state is counted
// once per text: the walk along the suffix chain stops at a state already counted, whose
// own chain was counted with it.
void PatternSet::reached(std::uint32_t state, std::size_t end, std::uint32_t stamp,
                         std::uint32_t* stamps, Occurrences& found) const noexcept {
  if (trie_.best[state] < found.first) {
    found.first = trie_.best[state];
    found.end = end;
  }
  for (std::uint32_t s = trie_.ends[state] != 0 ? state : trie_.out[state];
       s != kNone && stamps[s] != stamp; s = trie_.out[s]) {
    stamps[s] = stamp;
    found.count += trie_.ends[s];
  }
}

void PatternSet::close(Occurrences& found) const noexcept {
  if (trie_.empty != kNone) {
    found.count += trie_.empty_count;
    if (trie_.empty < found.first) {
      found.first = trie_.empty;
      found.end = 0;
    }
  }
  if (found.end != 0) found.start = found.end - trie_.lengths[found.first];
}

PatternSet::Occurrences PatternSet::occurrences(std::string_view text, Marks& marks) const {
  const std::uint32_t stamp = new_text(marks, trie_.size());
  std::uint32_t* stamps = marks.stamp_.data();
  Occurrences found;
  if (!dense_.empty()) {
    std::uint32_t at = dense_.start();
    for (std::size_t i = 0; i < text.size(); ++i) {
      at = dense_.next(at, text[i]);
      if (dense_.ends_pattern(at)) reached(dense_.state(at), i + 1, stamp, stamps, found);
    }
  } else {
    std::uint32_t state = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      state = trie_.next(state, static_cast<std::uint8_t>(bytes::lower_ascii(text[i])));
      if (trie_.best[state] != kNone) reached(state, i + 1, stamp, stamps, found);
    }
  }
  close(found);
  return found;
}

// Called once per narration that explain's lanes finish; flattened, so that reached() is
// inlined (2% of explain's time on one core).
[[gnu::flatten]] PatternSet::Occurrences PatternSet::occurrences(
    std::span<const DenseTable::End> ends, Marks& marks) const {
  Occurrences found;
  if (ends.size() == 1) {
    // One end: its suffix chain meets no state twice, so nothing needs marking.
    const std::uint32_t state = dense_.state(ends[0].row);
    found.first = trie_.best[state];
    found.end = ends[0].at;
    for (std::uint32_t s = trie_.ends[state] != 0 ? state : trie_.out[state]; s != kNone;
         s = trie_.out[s]) {
      found.count += trie_.ends[s];
    }
  } else if (!ends.empty()) {
    const std::uint32_t stamp = new_text(marks, trie_.size());
    std::uint32_t* stamps = marks.stamp_.data();
    for (const DenseTable::End& end : ends) {
      reached(dense_.state(end.row), end.at, stamp, stamps, found);
    }
  }
  close(found);
  return found;
}

}  // namespace quorvane::categorizer
