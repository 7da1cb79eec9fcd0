// categorizer/trie.cpp: building the trie from sorted patterns, level by level.
#include "categorizer/trie.h"

#include <algorithm>  // std::min, std::lower_bound, std::copy_n
#include <string_view>

#include "bytes.h"

namespace quorvane::categorizer {
namespace {

// Sorts [first, last) stably by key(i) in 0..256, using `scratch` (as long).
template <class Key>
void sort_run(std::uint32_t* first, std::uint32_t* last, std::uint32_t* scratch, const Key& key) {
  const std::size_t size = static_cast<std::size_t>(last - first);
  if (size <= 32) {  // insertion sort: short runs are most runs past the first levels
    for (std::size_t i = 1; i < size; ++i) {
      const std::uint32_t item = first[i];
      const unsigned k = key(item);
      std::size_t j = i;
      for (; j > 0 && key(first[j - 1]) > k; --j) first[j] = first[j - 1];
      first[j] = item;
    }
    return;
  }
  std::array<std::uint32_t, 258> at{};  // counting sort: at[k + 1] counts key k
  for (std::size_t i = 0; i < size; ++i) ++at[key(first[i]) + 1];
  for (std::size_t k = 1; k < at.size(); ++k) at[k] += at[k - 1];
  for (std::size_t i = 0; i < size; ++i) scratch[at[key(first[i])]++] = first[i];
  std::copy_n(scratch, size, first);
}

}  // namespace

Trie::Trie(const std::vector<std::string>& patterns) {
  const std::size_t count = patterns.size();
  // The patterns' bytes in one buffer, capitals folded, and the indexes of the
  // non-empty ones in `order`: each state of the trie is a run of `order` holding the
  // patterns that start with its string, in index order.
  lengths.resize(count);
  std::vector<std::size_t> start(count);
  std::size_t total = 0;
  for (std::size_t i = 0; i < count; ++i) total += patterns[i].size();
  std::string bytes;
  bytes.reserve(total);
  std::vector<std::uint32_t> order;
  order.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    lengths[i] = patterns[i].size();
    start[i] = bytes.size();
    for (char c : patterns[i]) bytes.push_back(bytes::lower_ascii(c));
    if (patterns[i].empty()) {
      if (empty == kNone) empty = static_cast<std::uint32_t>(i);
      ++empty_count;
    } else {
      order.push_back(static_cast<std::uint32_t>(i));
    }
  }

  // Breadth-first, one level (depth) at a time, as a most-significant-byte-first radix
  // sort: a state's run is sorted stably by its patterns' byte at `depth` (patterns of
  // exactly `depth` bytes first: they end at the state, the first of them has the
  // smallest index), and each byte value starts a child's run, children numbered in
  // byte order. A run of one pattern is already sorted; that is most of them.
  struct Run {
    std::uint32_t begin, end;
  };
  std::vector<Run> runs{{0, static_cast<std::uint32_t>(order.size())}};
  best.assign(1, kNone);
  ends.assign(1, 0);
  byte_in.assign(1, 0);
  std::vector<std::uint32_t> sorted(order.size());
  std::size_t level = 0;
  for (std::size_t depth = 0; level < runs.size(); ++depth) {
    // 0 for a pattern that ends at this depth, else 1 + its byte there.
    auto key = [&](std::uint32_t i) -> unsigned {
      return lengths[i] == depth ? 0 : 1U + static_cast<std::uint8_t>(bytes[start[i] + depth]);
    };
    const std::size_t level_end = runs.size();
    for (std::size_t state = level; state < level_end; ++state) {
      children.push_back(static_cast<std::uint32_t>(runs.size()));
      auto [at, end] = runs[state];
      if (end - at > 1) sort_run(order.data() + at, order.data() + end, sorted.data(), key);
      if (at < end && key(order[at]) == 0) {
        best[state] = order[at];
        for (; at < end && key(order[at]) == 0; ++at) ++ends[state];
      }
      while (at < end) {
        const unsigned k = key(order[at]);
        std::uint32_t stop = at + 1;
        while (stop < end && key(order[stop]) == k) ++stop;
        runs.push_back({at, stop});
        best.push_back(kNone);
        ends.push_back(0);
        byte_in.push_back(static_cast<std::uint8_t>(k - 1));
        at = stop;
      }
    }
    level = level_end;
  }
  children.push_back(static_cast<std::uint32_t>(runs.size()));

  // Failure links in breadth-first order: a child's is the transition of its parent's
  // failure state along the same byte, which is shallower and so already linked. Its
  // best index then also covers every pattern ending at that suffix.
  const std::size_t states = best.size();
  fail.assign(states, 0);
  out.assign(states, kNone);
  for (std::uint32_t c = children[0]; c < children[1]; ++c) root[byte_in[c]] = c;
  for (std::uint32_t state = 0; state < states; ++state) {
    for (std::uint32_t c = children[state]; c < children[state + 1]; ++c) {
      const std::uint32_t link = state == 0 ? 0 : next(fail[state], byte_in[c]);
      fail[c] = link;
      best[c] = std::min(best[c], best[link]);
      out[c] = ends[link] != 0 ? link : out[link];
    }
  }
}

std::uint32_t Trie::child(std::uint32_t state, std::uint8_t byte) const noexcept {
  const std::uint8_t* first = byte_in.data() + children[state];
  const std::uint8_t* last = byte_in.data() + children[state + 1];
  // Most states past the first levels have one child.
  if (last - first > 8) first = std::lower_bound(first, last, byte);
  for (; first != last && *first <= byte; ++first) {
    if (*first == byte) return static_cast<std::uint32_t>(first - byte_in.data());
  }
  return kNone;
}

std::uint32_t Trie::next(std::uint32_t state, std::uint8_t byte) const noexcept {
  for (; state != 0; state = fail[state]) {
    const std::uint32_t c = child(state, byte);
    if (c != kNone) return c;
  }
  return root[byte];
}

}  // namespace quorvane::categorizer
