// categorizer/derive_keys.h: the keys of rule derivation's tables (tokens and groups),
// included by derive.cpp alone.
#pragma once

#include <cstdint>
#include <string_view>

#include "categorizer/dense_ids.h"
#include "categorizer/engine.h"
#include "categorizer/text_arena.h"

namespace quorvane::categorizer::derivation {

constexpr std::uint32_t kNoGroup = UINT32_MAX;
constexpr std::uint32_t kManyGroups = UINT32_MAX - 1;

// A distinct token: its first 16 bytes held in place, so that checking a match rarely
// reads the whole text, and the number of examples holding it (its corpus count).
struct Token {
  std::uint64_t head[2];
  const char* data;  // the whole token, copied once into the arena
  std::uint64_t hash;
  std::uint32_t size;
  std::uint32_t examples = 0;
  std::uint32_t last = UINT32_MAX;  // the last example counted
  // Where counts are kept by group: the one group whose examples hold the token (its
  // count there is then `examples`), or kManyGroups once examples of several groups do.
  std::uint32_t group = kNoGroup;

  std::string_view text() const noexcept { return {data, size}; }
};

// The first 16 bytes of `token`, zero-padded, as two words: every byte a load takes lies
// inside the token, and overlapping loads are shifted into place.
inline void load_head(std::string_view token, std::uint64_t (&head)[2]) noexcept {
  const char* p = token.data();
  const std::size_t n = token.size();
  auto load_short = [&](const char* at, std::size_t size) -> std::uint64_t {  // size < 8
    if (size >= 4) return load32(at) | (load32(at + size - 4) >> (8 * (8 - size)) << 32);
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < size; ++i) {
      word |= std::uint64_t{static_cast<unsigned char>(at[i])} << (8 * i);
    }
    return word;
  };
  if (n >= 16) {
    head[0] = load64(p);
    head[1] = load64(p + 8);
  } else if (n >= 8) {
    head[0] = load64(p);
    head[1] = n == 8 ? 0 : load64(p + n - 8) >> (8 * (16 - n));
  } else {
    head[0] = load_short(p, n);
    head[1] = 0;
  }
}

// Byte order of two tokens, mostly decided by their heads: tokens hold no zero byte, so
// the zero-padded heads, read as big-endian words, order as the texts do.
inline bool token_before(const Token& a, const Token& b) noexcept {
  for (int i = 0; i < 2; ++i) {
    if (a.head[i] != b.head[i]) return __builtin_bswap64(a.head[i]) < __builtin_bswap64(b.head[i]);
  }
  return a.text() < b.text();
}

// A token about to be looked up: its first 16 bytes and its hash, worked out once.
struct TokenKey {
  std::string_view text;
  std::uint64_t head[2];
  std::uint64_t hash;

  explicit TokenKey(std::string_view token) noexcept : text(token) {
    load_head(token, head);
    // Up to 16 bytes the head words and the length are the whole token.
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;
    if (token.size() <= sizeof head) {
      std::uint64_t h = (head[0] ^ (token.size() * kMul)) * kMul;
      h = (h ^ (h >> 29) ^ head[1]) * kMul;
      hash = (h ^ (h >> 32)) * kMul;
    } else {
      hash = hash_bytes(token);
    }
  }
  // The key of a token already counted elsewhere: its head and hash are kept there.
  explicit TokenKey(const Token& token) noexcept
      : text(token.text()), head{token.head[0], token.head[1]}, hash(token.hash) {}
};

struct TokenTraits {
  TextArena* texts;

  std::uint64_t hash(const TokenKey& key) const noexcept { return key.hash; }
  Token make(const TokenKey& key, std::uint64_t hash) const {
    return Token{{key.head[0], key.head[1]},
                 texts->copy(key.text).data(),
                 hash,
                 static_cast<std::uint32_t>(key.text.size())};
  }
  bool matches(const Token& entry, const TokenKey& key) const noexcept {
    if (entry.size != key.text.size() || key.head[0] != entry.head[0] ||
        key.head[1] != entry.head[1]) {
      return false;
    }
    return key.text.size() <= sizeof key.head ||
           same_bytes(key.text.substr(sizeof key.head), entry.text().substr(sizeof key.head));
  }
};

// A (category, merchant) group, its labels copied into the arena.
struct Group {
  std::string_view category;
  std::string_view merchant;
  std::uint64_t hash;
};

struct GroupTraits {
  TextArena* texts;

  std::uint64_t hash(const ExampleView& example) const noexcept {
    return hash_bytes(example.merchant, hash_bytes(example.category));
  }
  Group make(const ExampleView& example, std::uint64_t hash) const {
    return {texts->copy(example.category), texts->copy(example.merchant), hash};
  }
  bool matches(const Group& group, const ExampleView& example) const noexcept {
    return same_bytes(group.category, example.category) &&
           same_bytes(group.merchant, example.merchant);
  }
};

}  // namespace quorvane::categorizer::derivation
