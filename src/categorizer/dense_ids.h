// categorizer/dense_ids.h: numbering distinct keys 0, 1, 2, ... in order of first sight.
#pragma once

#include <cstdint>
#include <cstring>  // std::memcpy
#include <string_view>
#include <utility>
#include <vector>

namespace quorvane::categorizer {

/// A 64-bit hash of bytes, eight at a time; short keys are read with at most two loads.
inline std::uint64_t hash_bytes(std::string_view bytes, std::uint64_t seed = 0) noexcept {
  constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;
  const char* p = bytes.data();
  const std::size_t n = bytes.size();
  auto load64 = [](const char* at) {
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    return word;
  };
  auto load32 = [](const char* at) {
    std::uint32_t word;
    std::memcpy(&word, at, 4);
    return std::uint64_t{word};
  };
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
    std::uint64_t x, y;
    std::memcpy(&x, p, 8);
    std::memcpy(&y, q, 8);
    if (x != y) return false;
  }
  for (; n > 0; ++p, ++q, --n) {
    if (*p != *q) return false;
  }
  return true;
}

/// Gives each distinct key a dense id, in order of first sight: an open-addressing table
/// of ids over the keys it keeps. Keys are views; what they view must outlive the table.
template <class Key, class Hash, class Equal>
class DenseIds {
 public:
  static constexpr std::uint64_t kEmpty = UINT64_MAX;

  /// The id of `key`, a new one if it was not seen before.
  std::uint32_t id(const Key& key) {
    if (2 * (keys_.size() + 1) > slots_.size()) grow();
    std::uint64_t hash = Hash{}(key);
    // Each slot holds the key's id and the high half of its hash, so a probe rarely has to
    // look at a key that does not match.
    std::uint64_t tag = hash & kTagMask;
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      std::uint64_t slot = slots_[i];
      if (slot == kEmpty) {
        auto id = static_cast<std::uint32_t>(keys_.size());
        slots_[i] = tag | id;
        keys_.push_back(key);
        hashes_.push_back(hash);
        return id;
      }
      if ((slot & kTagMask) == tag) {
        auto id = static_cast<std::uint32_t>(slot);
        if (Equal{}(keys_[id], key)) return id;
      }
    }
  }

  /// Makes room for `count` keys without moving them again (the table itself still
  /// grows with the keys, so that it stays small enough to be cached).
  void reserve(std::size_t count) {
    keys_.reserve(count);
    hashes_.reserve(count);
  }

  std::size_t size() const noexcept { return keys_.size(); }
  const Key& key(std::uint32_t id) const noexcept { return keys_[id]; }

 private:
  static constexpr std::uint64_t kTagMask = 0xFFFFFFFF00000000ULL;

  void grow() {
    std::vector<std::uint64_t> slots(slots_.empty() ? 64 : 2 * slots_.size(), kEmpty);
    std::size_t mask = slots.size() - 1;
    for (std::uint32_t id = 0; id < keys_.size(); ++id) {
      std::uint64_t hash = hashes_[id];
      std::size_t i = hash & mask;
      while (slots[i] != kEmpty) i = (i + 1) & mask;
      slots[i] = (hash & kTagMask) | id;
    }
    slots_ = std::move(slots);
  }

  std::vector<std::uint64_t> slots_;
  std::vector<Key> keys_;
  std::vector<std::uint64_t> hashes_;  // by id, so that growing never hashes a key again
};

}  // namespace quorvane::categorizer
