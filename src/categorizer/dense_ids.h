// categorizer/dense_ids.h: numbering distinct keys 0, 1, 2, ... in order of first sight.
#pragma once

#include <algorithm>  // std::fill
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "bytes.h"

namespace quorvane::categorizer {

using bytes::load32;
using bytes::load64;

/// A 64-bit hash of bytes, eight at a time; short keys are read with at most two loads.
inline std::uint64_t hash_bytes(std::string_view bytes, std::uint64_t seed = 0) noexcept {
  constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;
  const char* p = bytes.data();
  const std::size_t n = bytes.size();
  std::uint64_t h = seed ^ (n * kMul);
  if (n >= 8) {
    const char* last = p + n - 8;
    for (; p < last; p += 8) {
      h = (h ^ load64(p)) * kMul;
      h ^= h >> 29;
    }
    h = (h ^ load64(last)) * kMul;  // overlaps the previous word when n is not a multiple of 8
  } else if (n >= 4) {
    h = (h ^ (load32(p) | load32(p + n - 4) << 32)) * kMul;
  } else if (n > 0) {
    auto byte = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
    h = (h ^ (byte(0) << 16 | byte(n / 2) << 8 | byte(n - 1))) * kMul;
  }
  h ^= h >> 32;
  return h * kMul;
}

/// Whether two byte strings are equal; short keys (the usual tokens and labels) are
/// compared a word at a time without a call.
inline bool same_bytes(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  std::size_t n = a.size();
  for (; n >= 8; p += 8, q += 8, n -= 8) {
    if (load64(p) != load64(q)) return false;
  }
  for (; n > 0; ++p, ++q, --n) {
    if (*p != *q) return false;
  }
  return true;
}

/// Gives each distinct key a dense id, in order of first sight: an open-addressing table
/// of ids over entries that `Traits` makes from the keys. `Traits` provides
/// `std::uint64_t hash(const Key&)`, `Entry make(const Key&, std::uint64_t hash)` and
/// `bool matches(const Entry&, const Key&)`; an Entry keeps its hash in `hash`.
template <class Key, class Entry, class Traits>
class DenseIds {
 public:
  explicit DenseIds(Traits traits = {}) : traits_(std::move(traits)) {}

  /// The id of `key`, a new one if it was not seen before.
  std::uint32_t id(const Key& key) {
    if (2 * (entries_.size() + 1) > slots_.size()) [[unlikely]]
      grow();
    std::uint64_t hash = traits_.hash(key);
    // Each slot holds an id and the high half of its key's hash, so a probe rarely has to
    // look at an entry that does not match.
    std::uint64_t tag = hash & kTagMask;
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      std::uint64_t slot = slots_[i];
      if (slot == kEmpty) {
        auto id = static_cast<std::uint32_t>(entries_.size());
        slots_[i] = tag | id;
        entries_.push_back(traits_.make(key, hash));
        return id;
      }
      if ((slot & kTagMask) == tag) {
        auto id = static_cast<std::uint32_t>(slot);
        if (traits_.matches(entries_[id], key)) return id;
      }
    }
  }

  /// Starts loading the slot where `key` is looked for, so that a later `id` finds it
  /// in the cache; only a hint.
  void prefetch(const Key& key) const noexcept {
    if (!slots_.empty()) __builtin_prefetch(&slots_[traits_.hash(key) & (slots_.size() - 1)]);
  }

  /// Makes room for `count` entries without moving them again, and sizes the table for
  /// `expected` of them, so that it need not grow (and move every id) on the way there.
  void reserve(std::size_t count, std::size_t expected) {
    entries_.reserve(count);
    std::size_t slots = 64;
    while (slots < 2 * expected) slots *= 2;
    if (slots > slots_.size()) {
      std::vector<std::uint64_t>(slots, kEmpty).swap(slots_);
      rehash();
    }
  }

  /// Forgets every key, keeping the memory for as many again.
  void clear() {
    std::fill(slots_.begin(), slots_.end(), kEmpty);
    entries_.clear();
  }

  std::size_t size() const noexcept { return entries_.size(); }
  Entry& operator[](std::uint32_t id) noexcept { return entries_[id]; }
  const Entry& operator[](std::uint32_t id) const noexcept { return entries_[id]; }

 private:
  static constexpr std::uint64_t kEmpty = UINT64_MAX;
  static constexpr std::uint64_t kTagMask = 0xFFFFFFFF00000000ULL;

  void grow() {
    std::vector<std::uint64_t>(slots_.empty() ? 64 : 2 * slots_.size(), kEmpty).swap(slots_);
    rehash();
  }

  // Puts every entry's id into the (empty) table.
  void rehash() {
    std::size_t mask = slots_.size() - 1;
    for (std::uint32_t id = 0; id < entries_.size(); ++id) {
      std::uint64_t hash = entries_[id].hash;
      std::size_t i = hash & mask;
      while (slots_[i] != kEmpty) i = (i + 1) & mask;
      slots_[i] = (hash & kTagMask) | id;
    }
  }

  Traits traits_;
  std::vector<std::uint64_t> slots_;
  std::vector<Entry> entries_;
};

}  // namespace quorvane::categorizer
