// categorizer/derive.cpp: derivation of rules from labelled examples.
#include <algorithm>  // std::sort
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "categorizer/dense_ids.h"
#include "categorizer/engine.h"
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

struct TokenHash {
  std::uint64_t operator()(std::string_view token) const noexcept { return hash_bytes(token); }
};

struct TokenEqual {
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    return same_bytes(a, b);
  }
};

using Pair = std::pair<std::string_view, std::string_view>;  // (category, merchant)

struct PairHash {
  std::uint64_t operator()(const Pair& pair) const noexcept {
    return hash_bytes(pair.second, hash_bytes(pair.first));
  }
};

struct PairEqual {
  bool operator()(const Pair& a, const Pair& b) const noexcept {
    return same_bytes(a.first, b.first) && same_bytes(a.second, b.second);
  }
};

// Per distinct token: how many examples hold it, and the last example counted.
struct TokenCount {
  std::uint32_t examples = 0;
  std::uint32_t last = UINT32_MAX;
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
  const std::vector<DeriveInput>& data = request.data;
  QV_ASSERT(data.size() < UINT32_MAX, "examples are counted in 32 bits");

  // Number the (category, merchant) groups.
  DenseIds<Pair, PairHash, PairEqual> groups;
  std::vector<std::uint32_t> group_of(data.size());
  for (std::size_t i = 0; i < data.size(); ++i) {
    group_of[i] = groups.id(Pair(data[i].category, data[i].merchant));
  }

  // Lower every narration once, in request order, into one buffer that the tokens view:
  // no token is copied per occurrence.
  std::string lowered;
  std::vector<std::size_t> bounds;
  bounds.reserve(data.size() + 1);
  std::size_t narration_bytes = 0;
  for (const DeriveInput& example : data) narration_bytes += example.narration.size();
  lowered.reserve(narration_bytes);
  for (const DeriveInput& example : data) {
    bounds.push_back(lowered.size());
    unicode::append_lower(example.narration, lowered);
  }
  bounds.push_back(lowered.size());

  // Each example's distinct tokens, numbered, and each token's corpus count: the number
  // of examples holding it.
  // A token takes at least kMinTokenBytes and a separator within an example, which
  // bounds the number of tokens; reserving that much only claims address space, and no
  // vector below is ever moved while it grows.
  std::size_t max_tokens = (lowered.size() + data.size()) / (kMinTokenBytes + 1) + 1;
  DenseIds<std::string_view, TokenHash, TokenEqual> tokens;
  tokens.reserve(max_tokens);
  std::vector<TokenCount> counts;
  counts.reserve(max_tokens);
  std::vector<std::uint32_t> held;  // token ids, example after example
  held.reserve(max_tokens);
  std::vector<std::size_t> held_begin;
  held_begin.reserve(data.size() + 1);
  for (std::size_t i = 0; i < data.size(); ++i) {
    held_begin.push_back(held.size());
    std::string_view text(lowered.data() + bounds[i], bounds[i + 1] - bounds[i]);
    auto example = static_cast<std::uint32_t>(i);
    for_each_token(text, [&](std::string_view token) {
      std::uint32_t id = tokens.id(token);
      if (id == counts.size()) counts.emplace_back();
      TokenCount& count = counts[id];
      if (count.last == example) return;  // once per example
      count.last = example;
      ++count.examples;
      held.push_back(id);
    });
  }
  held_begin.push_back(held.size());

  // The same token lists rearranged group by group, so that each group's counting reads
  // one contiguous run.
  std::vector<std::size_t> run_begin(groups.size() + 1, 0);
  for (std::size_t i = 0; i < data.size(); ++i) {
    run_begin[group_of[i] + 1] += held_begin[i + 1] - held_begin[i];
  }
  for (std::size_t g = 0; g < groups.size(); ++g) run_begin[g + 1] += run_begin[g];
  std::vector<std::uint32_t> runs(held.size());
  {
    std::vector<std::size_t> next(run_begin.begin(), run_begin.end() - 1);
    for (std::size_t i = 0; i < data.size(); ++i) {
      for (std::size_t t = held_begin[i]; t < held_begin[i + 1]; ++t) {
        runs[next[group_of[i]]++] = held[t];
      }
    }
  }

  DeriveRulesResponse response;
  std::vector<std::uint32_t> group_counts(counts.size(), 0);
  std::vector<std::uint32_t> seen;  // token ids with a non-zero group count
  for (std::uint32_t g = 0; g < groups.size(); ++g) {
    for (std::size_t t = run_begin[g]; t < run_begin[g + 1]; ++t) {
      if (group_counts[runs[t]]++ == 0) seen.push_back(runs[t]);
    }

    // The highest score among tokens frequent enough here and rare enough elsewhere;
    // equal scores go to the smallest token in byte order, so the answer never depends
    // on the order of the examples or of any table.
    std::string_view best;
    std::uint64_t best_score = 0;
    for (std::uint32_t token : seen) {
      std::uint64_t count = group_counts[token];
      group_counts[token] = 0;
      double share = static_cast<double>(count) / static_cast<double>(counts[token].examples);
      if (share < kMinShare) continue;
      std::string_view text = tokens.key(token);
      std::uint64_t score = kCountWeight * count + text.size();
      if (score > best_score || (score == best_score && text < best)) {
        best = text;
        best_score = score;
      }
    }
    seen.clear();
    if (best_score > 0) {
      const Pair& pair = groups.key(g);
      response.rules.push_back(
          CategoryRule{std::string(best), std::string(pair.first), std::string(pair.second)});
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
