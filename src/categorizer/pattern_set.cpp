// categorizer/pattern_set.cpp: multi-pattern search with priorities (Aho-Corasick).
#include "categorizer/pattern_set.h"

#include <algorithm>  // std::min, std::fill, std::copy_n

#include "bytes.h"
#include "fault.h"

namespace quorvane::categorizer {
namespace {

// Marks a dense entry whose state ends a pattern; offsets stay below kDenseLimit.
constexpr std::uint32_t kMatchFlag = 0x80000000U;

std::uint64_t edge_key(std::uint32_t state, std::uint8_t byte_class) {
  return (std::uint64_t{state} << 8) | byte_class;
}

}  // namespace

PatternSet::PatternSet(const std::vector<std::string>& patterns, std::size_t dense_limit) {
  const std::size_t count = patterns.size();
  lengths_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    lengths_.push_back(patterns[i].size());
    if (patterns[i].empty()) {
      if (empty_ == kNone) empty_ = static_cast<std::uint32_t>(i);
      ++empty_count_;
    }
  }

  // Bytes that occur in no pattern share class 0: they all lead back to the root.
  std::array<bool, 256> used{};
  std::size_t total_bytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    for (char c : patterns[i]) used[static_cast<std::uint8_t>(c)] = true;
    total_bytes += patterns[i].size();
  }
  for (int b = 0; b < 256; ++b) {
    if (used[static_cast<std::size_t>(b)]) {
      classes_[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(class_count_++);
    }
  }
  // Lowered patterns hold no ASCII capitals, so at most 230 byte values are in use.
  QV_ASSERT(class_count_ <= 256, "patterns hold no ASCII capitals");
  for (std::uint8_t b = 'A'; b <= 'Z'; ++b) {
    classes_[b] = classes_[static_cast<unsigned char>(bytes::lower_ascii(static_cast<char>(b)))];
  }

  // The trie: state 0 is the root. Each state's children are also linked in a list
  // (first child, next sibling, class of the edge in), so that the passes below visit
  // the edges there are instead of looking up every class of every state.
  best_.assign(1, kNone);
  ends_.assign(1, 0);
  std::vector<std::uint32_t> first_child(1, kNone);
  std::vector<std::uint32_t> next_sibling(1, kNone);
  std::vector<std::uint8_t> class_in(1, 0);
  edges_.reserve(total_bytes);
  for (std::size_t i = 0; i < count; ++i) {
    if (patterns[i].empty()) continue;
    std::uint32_t state = 0;
    for (char c : patterns[i]) {
      const std::uint8_t byte_class = classes_[static_cast<std::uint8_t>(c)];
      auto [next, added] =
          edges_.try_emplace(edge_key(state, byte_class), static_cast<std::uint32_t>(best_.size()));
      if (added) {
        best_.push_back(kNone);
        ends_.push_back(0);
        next_sibling.push_back(first_child[state]);
        first_child[state] = next;
        first_child.push_back(kNone);
        class_in.push_back(byte_class);
      }
      state = next;
    }
    best_[state] = std::min(best_[state], static_cast<std::uint32_t>(i));
    ++ends_[state];
  }

  // Breadth-first: each state's failure link is its longest proper suffix in the trie,
  // and its best index also covers every pattern ending at that suffix.
  std::size_t states = best_.size();
  fail_.assign(states, 0);
  out_.assign(states, kNone);
  std::vector<std::uint32_t> order;
  order.reserve(states);
  order.push_back(0);
  for (std::size_t head = 0; head < order.size(); ++head) {
    std::uint32_t state = order[head];
    for (std::uint32_t next = first_child[state]; next != kNone; next = next_sibling[next]) {
      std::uint32_t link = state == 0 ? 0 : child(fail_[state], class_in[next]);
      fail_[next] = link;
      best_[next] = std::min(best_[next], best_[link]);
      out_[next] = ends_[link] != 0 ? link : out_[link];
      order.push_back(next);
    }
  }

  // The flag bit above the offsets stays free whatever budget the caller gives.
  if (states * class_count_ <= std::min(dense_limit, kDenseLimit)) {
    // Each entry holds the next state premultiplied by class_count_ (the offset of its
    // row), with kMatchFlag set when a pattern ends there: the walk then does one load
    // a byte, and looks at best_ only where something matched. A row starts as its
    // failure state's row (filled earlier: it is shallower) and then takes its own edges.
    dense_.assign(states * class_count_, 0);
    for (std::uint32_t state : order) {
      std::uint32_t* row = dense_.data() + std::size_t{state} * class_count_;
      if (state != 0) {
        std::copy_n(dense_.data() + std::size_t{fail_[state]} * class_count_, class_count_, row);
      }
      for (std::uint32_t next = first_child[state]; next != kNone; next = next_sibling[next]) {
        std::uint32_t entry = next * class_count_;
        if (best_[next] != kNone) entry |= kMatchFlag;
        row[class_in[next]] = entry;
      }
    }
    edges_.clear();
    fail_.clear();
  }
}

// The state after reading one byte of `byte_class` in `state`, following failure links.
std::uint32_t PatternSet::child(std::uint32_t state, std::uint8_t byte_class) const {
  for (;;) {
    if (const std::uint32_t* next = edges_.find(edge_key(state, byte_class))) return *next;
    if (state == 0) return 0;
    state = fail_[state];
  }
}

std::uint32_t PatternSet::first_match(std::string_view text) const {
  std::uint32_t best = empty_;
  if (best == 0 || best_.size() == 1) return best;
  std::uint32_t state = 0;
  if (!dense_.empty()) {
    const std::uint32_t* table = dense_.data();
    std::uint32_t at = 0;  // the current state's row
    for (char c : text) {
      std::uint32_t entry = table[at + classes_[static_cast<std::uint8_t>(c)]];
      at = entry & ~kMatchFlag;
      if ((entry & kMatchFlag) != 0) [[unlikely]] {
        best = std::min(best, best_[at / class_count_]);
        if (best == 0) break;  // nothing comes before the first rule
      }
    }
  } else {
    for (char c : text) {
      state = child(state, classes_[static_cast<std::uint8_t>(c)]);
      best = std::min(best, best_[state]);
    }
  }
  return best;
}

PatternSet::Occurrences PatternSet::occurrences(std::string_view text, Marks& marks) const {
  if (marks.stamp_.size() != best_.size()) {
    marks.stamp_.assign(best_.size(), 0);
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
  auto reached = [&](std::uint32_t state, std::size_t end) {
    if (best_[state] < found.first) {
      found.first = best_[state];
      found.end = end;
    }
    for (std::uint32_t s = ends_[state] != 0 ? state : out_[state];
         s != kNone && stamps[s] != stamp; s = out_[s]) {
      stamps[s] = stamp;
      found.count += ends_[s];
    }
  };
  if (!dense_.empty()) {
    const std::uint32_t* table = dense_.data();
    std::uint32_t at = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      std::uint32_t entry = table[at + classes_[static_cast<std::uint8_t>(text[i])]];
      at = entry & ~kMatchFlag;
      if ((entry & kMatchFlag) != 0) [[unlikely]] {
        reached(at / class_count_, i + 1);
      }
    }
  } else {
    std::uint32_t state = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      state = child(state, classes_[static_cast<std::uint8_t>(text[i])]);
      if (best_[state] != kNone) reached(state, i + 1);
    }
  }
  if (empty_ != kNone) {
    found.count += empty_count_;
    if (empty_ < found.first) {
      found.first = empty_;
      found.end = 0;
    }
  }
  if (found.end != 0) found.start = found.end - lengths_[found.first];
  return found;
}

}  // namespace quorvane::categorizer
