// categorizer/derive.cpp: derivation of rules from labelled examples.
#include <algorithm>  // std::sort
#include <bit>        // std::endian
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "categorizer/dense_ids.h"
#include "categorizer/engine.h"
#include "categorizer/text_arena.h"
#include "categorizer/tokens.h"
#include "fault.h"
#include "unicode/lower.h"

namespace quorvane::categorizer {
namespace {

// A token qualifies for a group when at least this share of the examples holding it
// belong to the group.
constexpr double kMinShare = 0.8;
// Each example holding the token outweighs this many bytes of token length.
constexpr std::uint64_t kCountWeight = 1000;

// A distinct token: its first 16 bytes held in place, so that checking a match rarely
// reads the whole text, and the number of examples holding it (its corpus count).
struct Token {
  std::uint64_t head[2];
  const char* data;  // the whole token, copied once into the arena
  std::uint64_t hash;
  std::uint32_t size;
  std::uint32_t examples = 0;
  std::uint32_t last = UINT32_MAX;  // the last example counted

  std::string_view text() const noexcept { return {data, size}; }
};

// The first 16 bytes of `token`, zero-padded, as two words: every byte a load takes lies
// inside the token, and overlapping loads are shifted into place.
void load_head(std::string_view token, std::uint64_t (&head)[2]) noexcept {
  static_assert(std::endian::native == std::endian::little, "bytes are placed little-endian");
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

}  // namespace

std::vector<std::string> narration_tokens(std::string_view narration) {
  std::string lowered;
  unicode::append_lower(narration, lowered);
  std::vector<std::string> out;
  for_each_token(lowered, [&](std::string_view token) {
    if (std::find(out.begin(), out.end(), token) == out.end()) out.emplace_back(token);
  });
  return out;
}

Result<DeriveRulesResponse, QuorvaneError> derive_rules(const DeriveRulesRequest& request) {
  std::vector<ExampleView> examples;
  examples.reserve(request.data.size());
  for (const DeriveInput& example : request.data) {
    examples.push_back({example.narration, example.category, example.merchant});
  }
  return derive_rules(examples);
}

Result<DeriveRulesResponse, QuorvaneError> derive_rules(std::span<const ExampleView> data) {
  QV_ASSERT(data.size() < UINT32_MAX, "examples are counted in 32 bits");

  // Copies of the labels of each group and of the text of each distinct token; no token
  // is copied per occurrence.
  TextArena texts;

  DenseIds<ExampleView, Group, GroupTraits> groups(GroupTraits{&texts});
  std::vector<std::uint32_t> group_of(data.size());
  std::size_t narration_bytes = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    group_of[i] = groups.id(data[i]);
    narration_bytes += data[i].narration.size();
  }

  // Each example's distinct tokens, numbered, and each token's corpus count: the number
  // of examples holding it. A token takes at least kMinTokenBytes and a separator, and
  // lower-casing makes a text at most half as long again, which bounds the number of
  // tokens: reserving that much only claims address space, and no vector below is
  // ever moved while it grows. Narrations often carry a reference number of their own,
  // so the table is sized for about as many distinct tokens as examples.
  std::size_t max_tokens =
      (narration_bytes + narration_bytes / 2 + data.size()) / (kMinTokenBytes + 1) + 1;
  DenseIds<TokenKey, Token, TokenTraits> tokens(TokenTraits{&texts});
  tokens.reserve(max_tokens, data.size());
  std::vector<std::uint32_t> held;  // token ids, example after example
  held.reserve(max_tokens);
  std::vector<std::size_t> held_begin;
  held_begin.reserve(data.size() + 1);
  std::string lowered;  // one narration at a time
  for (std::size_t i = 0; i < data.size(); ++i) {
    held_begin.push_back(held.size());
    lowered.clear();
    unicode::append_lower(data[i].narration, lowered);
    auto example = static_cast<std::uint32_t>(i);
    for_each_token(lowered, [&](std::string_view token) {
      std::uint32_t id = tokens.id(TokenKey(token));
      Token& entry = tokens[id];
      if (entry.last == example) return;  // once per example
      entry.last = example;
      ++entry.examples;
      held.push_back(id);
    });
  }
  held_begin.push_back(held.size());

  // The examples listed group by group, in request order within a group.
  std::vector<std::size_t> group_begin(groups.size() + 1, 0);
  for (std::uint32_t g : group_of) ++group_begin[g + 1];
  for (std::size_t g = 0; g < groups.size(); ++g) group_begin[g + 1] += group_begin[g];
  std::vector<std::uint32_t> members(data.size());
  {
    std::vector<std::size_t> next(group_begin.begin(), group_begin.end() - 1);
    for (std::size_t i = 0; i < data.size(); ++i) {
      members[next[group_of[i]]++] = static_cast<std::uint32_t>(i);
    }
  }

  DeriveRulesResponse response;
  std::vector<std::uint32_t> group_counts(tokens.size(), 0);
  std::vector<std::uint32_t> seen;  // token ids with a non-zero group count
  for (std::uint32_t g = 0; g < groups.size(); ++g) {
    for (std::size_t m = group_begin[g]; m < group_begin[g + 1]; ++m) {
      std::uint32_t example = members[m];
      for (std::size_t t = held_begin[example]; t < held_begin[example + 1]; ++t) {
        if (group_counts[held[t]]++ == 0) seen.push_back(held[t]);
      }
    }

    // The highest score among tokens frequent enough here and rare enough elsewhere;
    // equal scores go to the smallest token in byte order, so the answer never depends
    // on the order of the examples or of any table.
    std::string_view best;
    std::uint64_t best_score = 0;
    for (std::uint32_t token : seen) {
      std::uint64_t count = group_counts[token];
      group_counts[token] = 0;
      double share = static_cast<double>(count) / static_cast<double>(tokens[token].examples);
      if (share < kMinShare) continue;
      std::string_view text = tokens[token].text();
      std::uint64_t score = kCountWeight * count + text.size();
      if (score > best_score || (score == best_score && text < best)) {
        best = text;
        best_score = score;
      }
    }
    seen.clear();
    if (best_score > 0) {
      const Group& group = groups[g];
      response.rules.push_back(CategoryRule{std::string(best), std::string(group.category),
                                            std::string(group.merchant)});
    }
  }

  // Byte-wise order: std::string compares its chars as unsigned.
  std::sort(response.rules.begin(), response.rules.end(),
            [](const CategoryRule& a, const CategoryRule& b) {
              int order = a.category.compare(b.category);
              return order != 0 ? order < 0 : a.merchant < b.merchant;
            });
  return response;
}

}  // namespace quorvane::categorizer
