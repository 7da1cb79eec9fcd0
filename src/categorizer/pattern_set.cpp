// categorizer/pattern_set.cpp: multi-pattern search with priorities (Aho-Corasick).
#include "categorizer/pattern_set.h"

#include <algorithm>  // std::min

#include "fault.h"

namespace quorvane::categorizer {
namespace {

std::uint64_t edge_key(std::uint32_t state, std::uint8_t byte_class) {
  return (std::uint64_t{state} << 8) | byte_class;
}

std::uint8_t ascii_lower(std::uint8_t b) {
  return b >= 'A' && b <= 'Z' ? static_cast<std::uint8_t>(b + ('a' - 'A')) : b;
}

}  // namespace

PatternSet::PatternSet(const std::vector<std::string>& patterns, std::size_t dense_limit) {
  std::size_t count = patterns.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (patterns[i].empty()) {
      empty_ = static_cast<std::uint32_t>(i);
      count = i;
      break;
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
  for (std::uint8_t b = 'A'; b <= 'Z'; ++b) classes_[b] = classes_[ascii_lower(b)];

  // The trie: state 0 is the root.
  best_.assign(1, kNone);
  edges_.reserve(total_bytes);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t state = 0;
    for (char c : patterns[i]) {
      auto [it, added] = edges_.try_emplace(edge_key(state, classes_[static_cast<std::uint8_t>(c)]),
                                            static_cast<std::uint32_t>(best_.size()));
      if (added) best_.push_back(kNone);
      state = it->second;
    }
    best_[state] = std::min(best_[state], static_cast<std::uint32_t>(i));
  }

  // Breadth-first: each state's failure link is its longest proper suffix in the trie,
  // and its best index also covers every pattern ending at that suffix.
  std::size_t states = best_.size();
  fail_.assign(states, 0);
  std::vector<std::uint32_t> order;
  order.reserve(states);
  order.push_back(0);
  for (std::size_t head = 0; head < order.size(); ++head) {
    std::uint32_t state = order[head];
    for (std::uint32_t c = 1; c < class_count_; ++c) {
      auto it = edges_.find(edge_key(state, static_cast<std::uint8_t>(c)));
      if (it == edges_.end()) continue;
      std::uint32_t next = it->second;
      std::uint32_t link = state == 0 ? 0 : child(fail_[state], static_cast<std::uint8_t>(c));
      fail_[next] = link;
      best_[next] = std::min(best_[next], best_[link]);
      order.push_back(next);
    }
  }

  if (states * class_count_ <= dense_limit) {
    dense_.assign(states * class_count_, 0);
    for (std::uint32_t state : order) {
      for (std::uint32_t c = 0; c < class_count_; ++c) {
        auto it = edges_.find(edge_key(state, static_cast<std::uint8_t>(c)));
        std::uint32_t next;
        if (it != edges_.end()) {
          next = it->second;
        } else {
          next = state == 0 ? 0 : dense_[std::size_t{fail_[state]} * class_count_ + c];
        }
        dense_[std::size_t{state} * class_count_ + c] = next;
      }
    }
    edges_.clear();
    fail_.clear();
  }
}

// The state after reading one byte of `byte_class` in `state`, following failure links.
std::uint32_t PatternSet::child(std::uint32_t state, std::uint8_t byte_class) const {
  for (;;) {
    auto it = edges_.find(edge_key(state, byte_class));
    if (it != edges_.end()) return it->second;
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
    for (char c : text) {
      state = table[std::size_t{state} * class_count_ + classes_[static_cast<std::uint8_t>(c)]];
      best = std::min(best, best_[state]);
    }
  } else {
    for (char c : text) {
      state = child(state, classes_[static_cast<std::uint8_t>(c)]);
      best = std::min(best, best_[state]);
    }
  }
  return best;
}

}  // namespace quorvane::categorizer
