// categorizer/edge_table.h: the trie's edges of a PatternSet, in one flat hash table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>  // std::pair
#include <vector>

namespace quorvane::categorizer {

/// A map from 64-bit keys (never UINT64_MAX) to 32-bit values: open addressing with
/// linear probing in one array, so a lookup usually touches one cache line where a
/// node-based map follows a pointer or two. Never shrinks; erases nothing.
class EdgeTable {
 public:
  /// Makes room for `count` entries without growing.
  void reserve(std::size_t count) {
    std::size_t capacity = 16;
    while (capacity < 2 * count) capacity *= 2;
    if (capacity > slots_.size()) rehash(capacity);
  }

  /// The value of `key`, or null.
  const std::uint32_t* find(std::uint64_t key) const noexcept {
    if (slots_.empty()) return nullptr;
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.key == key) return &slot.value;
      if (slot.key == kEmpty) return nullptr;
    }
  }

  /// The value of `key`, and whether it was added now with `value`.
  std::pair<std::uint32_t, bool> try_emplace(std::uint64_t key, std::uint32_t value) {
    if (2 * (size_ + 1) > slots_.size()) rehash(slots_.empty() ? 16 : 2 * slots_.size());
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.key == key) return {slot.value, false};
      if (slot.key == kEmpty) {
        slot = {key, value};
        ++size_;
        return {value, true};
      }
    }
  }

  /// Frees the table.
  void clear() noexcept {
    std::vector<Slot>().swap(slots_);
    size_ = 0;
    mask_ = 0;
  }

 private:
  static constexpr std::uint64_t kEmpty = UINT64_MAX;

  struct Slot {
    std::uint64_t key = kEmpty;
    std::uint32_t value = 0;
  };

  std::size_t home(std::uint64_t key) const noexcept {
    // Fibonacci hashing: the high bits of the product mix every bit of the key.
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 32) & mask_;
  }

  void rehash(std::size_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    mask_ = capacity - 1;
    for (const Slot& slot : old) {
      if (slot.key == kEmpty) continue;
      std::size_t i = home(slot.key);
      while (slots_[i].key != kEmpty) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
};

}  // namespace quorvane::categorizer
