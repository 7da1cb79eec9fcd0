// categorizer/derive.cpp: derivation of rules from labelled examples.
#include <algorithm>  // std::sort, std::make_heap, std::pop_heap, std::push_heap
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "categorizer/dense_ids.h"
#include "categorizer/derive_keys.h"
#include "categorizer/engine.h"
#include "categorizer/text_arena.h"
#include "categorizer/tokens.h"
#include "fault.h"
#include "parallel.h"
#include "unicode/lower.h"

namespace quorvane::categorizer {
namespace {

// A token qualifies for a group when at least this share of the examples holding it
// belong to the group.
constexpr double kMinShare = 0.8;
// Each example holding the token outweighs this many bytes of token length.
constexpr std::uint64_t kCountWeight = 1000;

using derivation::Group;
using derivation::GroupTraits;
using derivation::kManyGroups;
using derivation::kNoGroup;
using derivation::Token;
using derivation::token_before;
using derivation::TokenKey;
using derivation::TokenTraits;

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

bool is_token(std::string_view text) {
  if (text.size() < kMinTokenBytes) return false;
  if (std::all_of(text.begin(), text.end(),
                  [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); })) {
    return true;  // the usual token, at no cost
  }
  std::string lowered;
  unicode::append_lower(text, lowered);
  if (lowered != text) return false;
  std::size_t tokens = 0;
  bool whole = false;
  for_each_token(text, [&](std::string_view token) {
    ++tokens;
    whole = token.size() == text.size();
  });
  return tokens == 1 && whole;
}

Result<DeriveRulesResponse, QuorvaneError> derive_rules(const DeriveRulesRequest& request) {
  std::vector<ExampleView> examples;
  examples.reserve(request.data.size());
  for (const DeriveInput& example : request.data) {
    examples.push_back({example.narration, example.category, example.merchant});
  }
  return derive_rules(examples, 1);
}

namespace {

// Narrations lowered and split together before their tokens are looked up.
constexpr std::size_t kBatch = 16;

// How far ahead a walk over a large table requests the entries it will need.
constexpr std::uint32_t kAhead = 8;

// Examples per thread below which a second thread costs more than it saves.
constexpr std::int64_t kMinExamplesPerThread = 20000;

// The count of one (group, token) pair of a token held in several groups, keyed by the
// group's id in the high half and the token's in the low half.
struct PairCount {
  std::uint64_t key;
  std::uint64_t hash;
  std::uint64_t count;
};

std::uint64_t pair_key(std::uint32_t group, std::uint32_t token) noexcept {
  return std::uint64_t{group} << 32 | token;
}

struct PairTraits {
  std::uint64_t hash(std::uint64_t key) const noexcept {
    // Both halves reach every bit: the table takes its slot from the low bits and its
    // tag from the high ones.
    std::uint64_t h = (key ^ (key >> 31)) * 0xBF58476D1CE4E5B9ULL;
    h = (h ^ (h >> 27)) * 0x94D049BB133111EBULL;
    return h ^ (h >> 31);
  }
  PairCount make(std::uint64_t key, std::uint64_t hash) const noexcept { return {key, hash, 0}; }
  bool matches(const PairCount& entry, std::uint64_t key) const noexcept {
    return entry.key == key;
  }
};

using PairTable = DenseIds<std::uint64_t, PairCount, PairTraits>;

// The counts of one range of examples: its groups and its distinct tokens (their texts
// copied once into the arena), each example's group, and each token's corpus count
// within the range. Ranges are counted on separate threads, then merged into the first.
struct Partial {
  TextArena texts;
  DenseIds<ExampleView, Group, GroupTraits> groups{GroupTraits{&texts}};
  DenseIds<TokenKey, Token, TokenTraits> tokens{TokenTraits{&texts}};
  std::vector<std::uint32_t> group_of;  // per example
  // With `by_group`, each token's count is also kept per group, as add_count() keeps it:
  // in the token for a token of one group, in `pairs` for one of several. Without it,
  // each example's distinct token ids are listed instead, for the groups to be counted
  // from when the rules are decided.
  bool by_group = false;
  PairTable pairs;
  std::vector<std::uint32_t> held;         // token ids, example after example
  std::vector<std::size_t> held_begin{0};  // per example where its ids start, then the end

  explicit Partial(bool counted_by_group = false) : by_group(counted_by_group) {}
  Partial(const Partial&) = delete;  // the tables point at the arena
  Partial& operator=(const Partial&) = delete;

  // Empties the counts for another range, keeping the memory of the tables: a new one
  // per batch would have its pages faulted in and zeroed again each time.
  void clear() {
    texts = TextArena();
    groups.clear();
    tokens.clear();
    pairs.clear();
    group_of.clear();
    held.clear();
    held_begin.assign(1, 0);
  }
};

// Adds `count` examples of group `group` holding token `id` to `tables` (a Partial
// counted by group, or a DeriveCounter's tables). Most tokens (a reference number, a
// merchant's name) stay in one group, whose count is then the token's own; a token met
// in a second group moves the first group's count out into the table of pairs, where
// every group's count of it is kept from then on.
template <class Tables>
void add_count(Tables& tables, std::uint32_t id, std::uint32_t group, std::uint32_t count) {
  Token& token = tables.tokens[id];
  if (token.group == kNoGroup) token.group = group;
  if (token.group != group) {
    if (token.group != kManyGroups) {
      tables.pairs[tables.pairs.id(pair_key(token.group, id))].count += token.examples;
      token.group = kManyGroups;
    }
    tables.pairs[tables.pairs.id(pair_key(group, id))].count += count;
  }
  token.examples += count;
}

// Tokens of a narration, distinct within it, that its reservation allows for: a bank's
// narration holds a handful.
constexpr std::size_t kUsualTokensPerExample = 16;

// A token takes at least kMinTokenBytes and a separator, and lower-casing makes a text at
// most half as long again, which bounds the number of tokens of `bytes` of narrations.
std::size_t max_tokens(std::size_t bytes, std::size_t examples) {
  return (bytes + bytes / 2 + examples) / (kMinTokenBytes + 1) + 1;
}

std::size_t narration_bytes(std::span<const ExampleView> data) {
  std::size_t bytes = 0;
  for (const ExampleView& example : data) bytes += example.narration.size();
  return bytes;
}

// Counts `data` into `out`, which is reserved for `reserve_bytes` of narrations over
// `reserve_examples` examples (the whole input for the range that others merge into).
// Narrations often carry a reference number of their own, so the table is sized for
// about as many distinct tokens as examples, and the vectors for the usual case, up to
// the bound: the bound itself (every few bytes a new token) claimed more than the
// machine's memory for a gigabyte of narrations, which the allocator refuses even though
// the pages would never be touched. Past the usual case they grow as they must.
void count(std::span<const ExampleView> data, std::size_t reserve_bytes,
           std::size_t reserve_examples, Partial& out) {
  out.group_of.reserve(reserve_examples);
  for (const ExampleView& example : data) out.group_of.push_back(out.groups.id(example));

  const std::size_t bound = max_tokens(reserve_bytes, reserve_examples);
  out.tokens.reserve(std::min(bound, 2 * reserve_examples + 64), reserve_examples);
  if (!out.by_group) {
    out.held.reserve(std::min(bound, kUsualTokensPerExample * reserve_examples));
    out.held_begin.reserve(reserve_examples + 1);
  }
  // Narrations are lowered and split a batch at a time, and the table slots of all the
  // batch's tokens are requested before any is looked up: the lookups, which mostly
  // miss the cache in a table of about a token per example, then overlap.
  std::string lowered;         // the batch's narrations, lowered, one after another
  std::vector<TokenKey> keys;  // the batch's tokens, in order
  std::size_t ends[kBatch];    // per narration of the batch: the end of its tokens in keys
  std::size_t bounds[kBatch + 1];
  for (std::size_t first = 0; first < data.size(); first += kBatch) {
    const std::size_t count = std::min(kBatch, data.size() - first);
    lowered.clear();
    bounds[0] = 0;
    for (std::size_t j = 0; j < count; ++j) {
      unicode::append_lower(data[first + j].narration, lowered);
      bounds[j + 1] = lowered.size();
    }
    keys.clear();
    for (std::size_t j = 0; j < count; ++j) {
      std::string_view text(lowered.data() + bounds[j], bounds[j + 1] - bounds[j]);
      for_each_token(text, [&](std::string_view token) { keys.emplace_back(token); });
      ends[j] = keys.size();
    }
    for (const TokenKey& key : keys) out.tokens.prefetch(key);
    std::size_t k = 0;
    for (std::size_t j = 0; j < count; ++j) {
      auto example = static_cast<std::uint32_t>(first + j);
      const std::uint32_t group = out.group_of[first + j];
      for (; k < ends[j]; ++k) {
        std::uint32_t id = out.tokens.id(keys[k]);
        Token& entry = out.tokens[id];
        if (entry.last == example) continue;  // once per example
        entry.last = example;
        if (out.by_group) {
          add_count(out, id, group, 1);
        } else {
          ++entry.examples;
          out.held.push_back(id);
        }
      }
      if (!out.by_group) out.held_begin.push_back(out.held.size());
    }
  }
}

// Numbers the groups and tokens of `from` in `into` (a Partial, or the tables of a
// DeriveCounter), `group_id` and `token_id` mapping the ids of `from` to those of `into`,
// and adds the counts of `from` to those of `into`: a token's corpus count is the sum of
// its counts, and so is each group's count of it when `from` is counted by group.
template <class Into>
void add_counts(Into& into, const Partial& from, std::vector<std::uint32_t>& group_id,
                std::vector<std::uint32_t>& token_id) {
  group_id.resize(from.groups.size());
  for (std::uint32_t g = 0; g < from.groups.size(); ++g) {
    const Group& group = from.groups[g];
    group_id[g] = into.groups.id(ExampleView{{}, group.category, group.merchant});
  }
  // Most lookups miss the cache in a large table, so each slot is requested a few
  // tokens ahead of its lookup; the token's entry is then at hand for its counts.
  const auto tokens = static_cast<std::uint32_t>(from.tokens.size());
  token_id.resize(tokens);
  for (std::uint32_t t = 0; t < std::min(kAhead, tokens); ++t) {
    into.tokens.prefetch(TokenKey(from.tokens[t]));
  }
  for (std::uint32_t t = 0; t < tokens; ++t) {
    if (t + kAhead < tokens) into.tokens.prefetch(TokenKey(from.tokens[t + kAhead]));
    const Token& counted = from.tokens[t];
    const std::uint32_t id = token_id[t] = into.tokens.id(TokenKey(counted));
    if (!from.by_group) {
      into.tokens[id].examples += counted.examples;
    } else if (counted.group != kManyGroups) {
      add_count(into, id, group_id[counted.group], counted.examples);
    }
  }
  // A token of several groups: its count in each.
  for (std::uint32_t p = 0; p < from.pairs.size(); ++p) {
    const PairCount& pair = from.pairs[p];
    add_count(into, token_id[static_cast<std::uint32_t>(pair.key)],
              group_id[static_cast<std::uint32_t>(pair.key >> 32)],
              static_cast<std::uint32_t>(pair.count));
  }
}

// Adds the counts of `from`, the range right after those of `into` and counted the same
// way: its examples follow those of `into`.
void merge(Partial& into, const Partial& from) {
  std::vector<std::uint32_t> group_id;
  std::vector<std::uint32_t> token_id;
  add_counts(into, from, group_id, token_id);
  for (std::uint32_t g : from.group_of) into.group_of.push_back(group_id[g]);
  const std::size_t offset = into.held.size();
  for (std::uint32_t t : from.held) into.held.push_back(token_id[t]);
  into.held_begin.pop_back();  // the end of `into` is where `from` begins
  for (std::size_t begin : from.held_begin) into.held_begin.push_back(offset + begin);
}

using TokenTable = DenseIds<TokenKey, Token, TokenTraits>;

// A token's claim to be a group's pattern, when `count` of the `examples` holding it are
// the group's: none (0) unless it is frequent enough here and rare enough elsewhere, else
// a score that weighs the examples far above the token's length.
std::uint64_t score_of(std::uint64_t count, std::uint32_t examples, std::size_t size) {
  if (static_cast<double>(count) / static_cast<double>(examples) < kMinShare) return 0;
  return kCountWeight * count + size;
}

// Whether a token of `score` beats the best so far: equal scores go to the smallest token
// in byte order, so the answer never depends on the order of the examples or of any table.
bool beats(std::uint64_t score, std::string_view text, std::uint64_t best_score,
           std::string_view best) {
  return score > best_score || (score == best_score && text < best);
}

// The pattern of a group's rule: the best of the tokens its examples hold (`counts[t]`
// of them for each t in `seen`); empty when no token qualifies. Leaves `counts` all zero
// and `seen` empty for the next group.
std::string_view best_token(const TokenTable& tokens, std::vector<std::uint32_t>& seen,
                            std::vector<std::uint64_t>& counts) {
  std::string_view best;
  std::uint64_t best_score = 0;
  for (std::uint32_t token : seen) {
    const std::uint64_t score = score_of(counts[token], tokens[token].examples, tokens[token].size);
    counts[token] = 0;
    if (score != 0 && beats(score, tokens[token].text(), best_score, best)) {
      best = tokens[token].text();
      best_score = score;
    }
  }
  seen.clear();
  return best;
}

// Items (examples, or rows of counts) listed group by group, in their order within a
// group: the items of group g are members[begin[g] .. begin[g + 1]).
struct ByGroup {
  std::vector<std::size_t> begin;
  std::vector<std::uint32_t> members;

  ByGroup(const std::vector<std::uint32_t>& group_of, std::size_t groups)
      : begin(groups + 1, 0), members(group_of.size()) {
    for (std::uint32_t g : group_of) ++begin[g + 1];
    for (std::size_t g = 0; g < groups; ++g) begin[g + 1] += begin[g];
    std::vector<std::size_t> next(begin.begin(), begin.end() - 1);
    for (std::size_t i = 0; i < group_of.size(); ++i) {
      members[next[group_of[i]]++] = static_cast<std::uint32_t>(i);
    }
  }

  // Ranges of groups with about equal numbers of items, one per part: cut[p]..cut[p+1].
  std::vector<std::uint32_t> cuts(std::size_t parts) const {
    std::vector<std::uint32_t> cut(parts + 1, static_cast<std::uint32_t>(begin.size() - 1));
    cut[0] = 0;
    for (std::size_t p = 1; p < parts; ++p) {
      std::size_t target = members.size() * p / parts;
      cut[p] = static_cast<std::uint32_t>(std::lower_bound(begin.begin(), begin.end() - 1, target) -
                                          begin.begin());
    }
    return cut;
  }
};

// Adds the tokens held by the examples of group g into `counts`, listing in `seen`
// each token counted for the first time.
void count_group(const Partial& all, const ByGroup& by_group, std::uint32_t g,
                 std::vector<std::uint32_t>& seen, std::vector<std::uint64_t>& counts) {
  for (std::size_t m = by_group.begin[g]; m < by_group.begin[g + 1]; ++m) {
    std::uint32_t example = by_group.members[m];
    for (std::size_t t = all.held_begin[example]; t < all.held_begin[example + 1]; ++t) {
      if (counts[all.held[t]]++ == 0) seen.push_back(all.held[t]);
    }
  }
}

// Byte-wise order of rules: std::string compares its chars as unsigned.
void sort_rules(std::vector<CategoryRule>& rules) {
  std::sort(rules.begin(), rules.end(), [](const CategoryRule& a, const CategoryRule& b) {
    int order = a.category.compare(b.category);
    return order != 0 ? order < 0 : a.merchant < b.merchant;
  });
}

// Byte order of (category, merchant, token), one comparison of each text at most:
// negative, zero or positive.
int compare_counts(const TokenCount& a, const TokenCount& b) noexcept {
  if (int order = a.category.compare(b.category); order != 0) return order;
  if (int order = a.merchant.compare(b.merchant); order != 0) return order;
  return a.token.compare(b.token);
}

// Picks each group's rule from the counts of all examples, on up to `threads` threads:
// groups are independent, so ranges of them with about equal numbers of examples are
// decided in parallel, each with its own counts.
DeriveRulesResponse finish(const Partial& all, unsigned threads) {
  const ByGroup by_group(all.group_of, all.groups.size());
  const std::size_t parts =
      parts_for(static_cast<std::int64_t>(all.group_of.size()), threads, kMinExamplesPerThread);
  const std::vector<std::uint32_t> cut = by_group.cuts(parts);
  std::vector<std::vector<CategoryRule>> decided(parts);
  on_threads(parts, [&](std::size_t p) {
    std::vector<std::uint64_t> counts(all.tokens.size(), 0);
    std::vector<std::uint32_t> seen;  // token ids with a non-zero count
    for (std::uint32_t g = cut[p]; g < cut[p + 1]; ++g) {
      count_group(all, by_group, g, seen, counts);
      std::string_view best = best_token(all.tokens, seen, counts);
      if (best.empty()) continue;
      const Group& group = all.groups[g];
      decided[p].push_back(CategoryRule{std::string(best), std::string(group.category),
                                        std::string(group.merchant)});
    }
  });
  DeriveRulesResponse response;
  for (std::vector<CategoryRule>& rules : decided) {
    for (CategoryRule& rule : rules) response.rules.push_back(std::move(rule));
  }
  sort_rules(response.rules);
  return response;
}

// Counts `data` (by group too, with `by_group`) on up to `threads` threads, in ranges
// merged into one. The first range is counted into `reuse` when given (emptied first).
std::unique_ptr<Partial> count_all(std::span<const ExampleView> data, unsigned threads,
                                   bool by_group = false,
                                   std::unique_ptr<Partial> reuse = nullptr) {
  QV_ASSERT(data.size() < UINT32_MAX, "examples are counted in 32 bits");
  const std::size_t parts =
      parts_for(static_cast<std::int64_t>(data.size()), threads, kMinExamplesPerThread);
  std::vector<std::unique_ptr<Partial>> partials;
  if (reuse) {
    reuse->clear();
    reuse->by_group = by_group;
    partials.push_back(std::move(reuse));
  }
  while (partials.size() < parts) partials.push_back(std::make_unique<Partial>(by_group));
  auto range = [&](std::size_t p) {
    return data.subspan(data.size() * p / parts,
                        data.size() * (p + 1) / parts - data.size() * p / parts);
  };
  // Contiguous ranges on their own threads; the first, reserved for all, on this one.
  on_threads(parts, [&](std::size_t p) {
    std::span<const ExampleView> part = p == 0 ? data : range(p);
    count(range(p), narration_bytes(part), part.size(), *partials[p]);
  });
  for (std::size_t p = 1; p < parts; ++p) {
    merge(*partials[0], *partials[p]);
    partials[p].reset();  // its arena too: the merged tokens were copied
  }
  return std::move(partials[0]);
}

}  // namespace

Result<DeriveRulesResponse, QuorvaneError> derive_rules(std::span<const ExampleView> data,
                                                        unsigned threads) {
  return finish(*count_all(data, threads), threads);
}

std::vector<TokenCountRow> derive_counts(std::span<const ExampleView> data, unsigned threads) {
  std::unique_ptr<Partial> all = count_all(data, threads);
  const ByGroup by_group(all->group_of, all->groups.size());
  // Rows come out in order with no sort of the rows themselves: groups in byte order of
  // their labels, and within a group its tokens (ids) in byte order of their texts.
  std::vector<std::uint32_t> groups(all->groups.size());
  for (std::uint32_t g = 0; g < groups.size(); ++g) groups[g] = g;
  std::sort(groups.begin(), groups.end(), [&](std::uint32_t a, std::uint32_t b) {
    const Group& x = all->groups[a];
    const Group& y = all->groups[b];
    int order = x.category.compare(y.category);
    return order != 0 ? order < 0 : x.merchant < y.merchant;
  });
  std::vector<TokenCountRow> rows;
  std::vector<std::uint64_t> counts(all->tokens.size(), 0);
  std::vector<std::uint32_t> seen;
  for (std::uint32_t g : groups) {
    count_group(*all, by_group, g, seen, counts);
    std::sort(seen.begin(), seen.end(), [&](std::uint32_t a, std::uint32_t b) {
      return token_before(all->tokens[a], all->tokens[b]);
    });
    const Group& group = all->groups[g];
    for (std::uint32_t token : seen) {
      rows.push_back(TokenCountRow{std::string(group.category), std::string(group.merchant),
                                   std::string(all->tokens[token].text()), counts[token]});
      counts[token] = 0;
    }
    seen.clear();
  }
  return rows;
}

std::vector<TokenCountRow> merge_counts(std::span<const TokenCount> rows) {
  // The rows of each table of counts are in order already, so the input is a few runs in
  // order: they are merged (a heap of run heads, the least on top), and equal rows,
  // which meet on the way, added up. Rows in no order make many short runs; the merge
  // is then a heap sort, still right.
  std::vector<std::pair<std::size_t, std::size_t>> runs;  // [next, end) of each run
  for (std::size_t begin = 0, i = 1; i <= rows.size(); ++i) {
    if (i == rows.size() || compare_counts(rows[i - 1], rows[i]) > 0) {
      runs.emplace_back(begin, i);
      begin = i;
    }
  }
  auto later = [&](const std::pair<std::size_t, std::size_t>& a,
                   const std::pair<std::size_t, std::size_t>& b) {
    int order = compare_counts(rows[a.first], rows[b.first]);
    return order != 0 ? order > 0 : a.first > b.first;
  };
  std::make_heap(runs.begin(), runs.end(), later);
  std::vector<TokenCountRow> out;
  const TokenCount* last = nullptr;
  while (!runs.empty()) {
    std::pop_heap(runs.begin(), runs.end(), later);
    auto& run = runs.back();
    const TokenCount& row = rows[run.first];
    if (last != nullptr && compare_counts(*last, row) == 0) {
      out.back().count += row.count;
    } else {
      out.push_back(TokenCountRow{std::string(row.category), std::string(row.merchant),
                                  std::string(row.token), row.count});
      last = &row;
    }
    if (++run.first == run.second) {
      runs.pop_back();
    } else {
      std::push_heap(runs.begin(), runs.end(), later);
    }
  }
  return out;
}

Result<DeriveRulesResponse, TooManyExamples> derive_from_counts(std::span<const TokenCount> rows) {
  // The same decision as derive_rules, from rows instead of examples: a token's corpus
  // count is the sum of its counts over every group.
  TextArena texts;
  DenseIds<ExampleView, Group, GroupTraits> groups(GroupTraits{&texts});
  TokenTable tokens(TokenTraits{&texts});
  std::vector<std::uint32_t> group_of;
  std::vector<std::uint32_t> token_of;
  group_of.reserve(rows.size());
  token_of.reserve(rows.size());
  for (const TokenCount& row : rows) {
    group_of.push_back(groups.id(ExampleView{{}, row.category, row.merchant}));
    std::uint32_t id = tokens.id(TokenKey(row.token));
    if (row.count >= kExampleLimit - tokens[id].examples) {
      return TooManyExamples{std::string(row.token)};
    }
    tokens[id].examples += static_cast<std::uint32_t>(row.count);
    token_of.push_back(id);
  }
  const ByGroup by_group(group_of, groups.size());
  DeriveRulesResponse response;
  std::vector<std::uint64_t> counts(tokens.size(), 0);
  std::vector<std::uint32_t> seen;
  for (std::uint32_t g = 0; g < groups.size(); ++g) {
    for (std::size_t m = by_group.begin[g]; m < by_group.begin[g + 1]; ++m) {
      std::uint32_t row = by_group.members[m];
      if (rows[row].count == 0) continue;
      if (counts[token_of[row]] == 0) seen.push_back(token_of[row]);
      counts[token_of[row]] += rows[row].count;
    }
    std::string_view best = best_token(tokens, seen, counts);
    if (best.empty()) continue;
    response.rules.push_back(CategoryRule{std::string(best), std::string(groups[g].category),
                                          std::string(groups[g].merchant)});
  }
  sort_rules(response.rules);
  return response;
}

struct DeriveCounter::State {
  // add() and finish() from several threads at once take turns: the module's callers hold
  // it with the interpreter lock released, and nothing under it takes that lock back.
  mutable std::mutex busy;
  TextArena texts;
  DenseIds<ExampleView, Group, GroupTraits> groups{GroupTraits{&texts}};
  TokenTable tokens{TokenTraits{&texts}};
  PairTable pairs;
  // A batch counted but not yet added to the tables: added while the next batch is
  // counted, or by finish(). Holds no view of the examples it was counted from.
  std::unique_ptr<Partial> pending;
  // The batch added last, emptied and counted into again: its memory is reused.
  std::unique_ptr<Partial> spare;
  std::uint64_t examples = 0;
  bool whole = true;  // no add() stopped part way

  // Adds the counts of a batch to the tables.
  void take(const Partial& batch);
};

DeriveCounter::DeriveCounter(std::size_t expected) : state_(std::make_unique<State>()) {
  // About a distinct token per example, as in count(), and fewer pairs. The slots are
  // filled at once (16 bytes per example for each table), so a guess past 2 million is
  // held there, and larger inputs grow the tables as they come.
  expected = std::min<std::size_t>(expected, std::size_t{1} << 21);
  state_->tokens.reserve(expected, expected);
  state_->pairs.reserve(expected, expected);
}

DeriveCounter::~DeriveCounter() = default;

void DeriveCounter::State::take(const Partial& batch) {
  std::vector<std::uint32_t> group_id;
  std::vector<std::uint32_t> token_id;
  add_counts(*this, batch, group_id, token_id);
}

void DeriveCounter::add(std::span<const ExampleView> examples, unsigned threads) {
  if (examples.empty()) return;
  std::lock_guard<std::mutex> lock(state_->busy);
  State& all = *state_;
  QV_ASSERT(all.whole, "the counts of a failed batch are incomplete");
  // Corpus counts are kept in 32 bits; refused before anything changes.
  QV_ASSERT(all.examples + examples.size() < UINT32_MAX, "examples are counted in 32 bits");
  all.examples += examples.size();
  all.whole = false;  // until every count of the batch is in
  std::unique_ptr<Partial> batch;
  if (threads >= 2 && all.pending &&
      static_cast<std::int64_t>(examples.size()) >= kMinExamplesPerThread) {
    // Adding a batch to the large tables is mostly waiting on memory, on one thread:
    // the last batch is added there while this one is counted on a second.
    on_threads(2, [&](std::size_t p) {
      if (p == 0) {
        all.take(*all.pending);
      } else {
        batch = count_all(examples, 1, true, std::move(all.spare));
      }
    });
  } else {
    if (all.pending) all.take(*all.pending);
    batch = count_all(examples, threads, true, std::move(all.spare));
  }
  all.spare = std::move(all.pending);
  // With a single thread there is nothing to overlap with: the batch goes in at once.
  if (threads >= 2) {
    all.pending = std::move(batch);
  } else {
    all.take(*batch);
    all.spare = std::move(batch);
  }
  all.whole = true;
}

Result<DeriveRulesResponse, QuorvaneError> DeriveCounter::finish() const {
  std::lock_guard<std::mutex> lock(state_->busy);
  QV_ASSERT(state_->whole, "the counts of a failed batch are incomplete");
  if (state_->pending) {  // the counts themselves are the same before and after
    state_->whole = false;
    state_->take(*state_->pending);
    state_->pending.reset();
    state_->whole = true;
  }
  state_->spare.reset();  // its memory is not needed while the rules are decided
  const State& all = *state_;
  // Each group's best token so far, the counts read in the order they lie: a token of one
  // group carries its count there, and a token of several has a pair per group.
  struct Best {
    std::uint64_t score = 0;
    std::uint32_t token = 0;
  };
  std::vector<Best> best(all.groups.size());
  auto consider = [&](std::uint32_t group, std::uint32_t id, std::uint64_t count) {
    const Token& token = all.tokens[id];
    const std::uint64_t score = score_of(count, token.examples, token.size);
    Best& so_far = best[group];
    if (score != 0 && beats(score, token.text(), so_far.score, all.tokens[so_far.token].text())) {
      so_far = {score, id};
    }
  };
  for (std::uint32_t t = 0; t < all.tokens.size(); ++t) {
    const std::uint32_t group = all.tokens[t].group;
    if (group < best.size()) consider(group, t, all.tokens[t].examples);
  }
  const auto pairs = static_cast<std::uint32_t>(all.pairs.size());
  for (std::uint32_t p = 0; p < pairs; ++p) {
    // The pairs' tokens lie anywhere in a large table: each is requested a few ahead.
    if (p + kAhead < pairs) {
      __builtin_prefetch(&all.tokens[static_cast<std::uint32_t>(all.pairs[p + kAhead].key)]);
    }
    const PairCount& pair = all.pairs[p];
    consider(static_cast<std::uint32_t>(pair.key >> 32), static_cast<std::uint32_t>(pair.key),
             pair.count);
  }
  DeriveRulesResponse response;
  for (std::uint32_t g = 0; g < all.groups.size(); ++g) {
    if (best[g].score == 0) continue;
    response.rules.push_back(CategoryRule{std::string(all.tokens[best[g].token].text()),
                                          std::string(all.groups[g].category),
                                          std::string(all.groups[g].merchant)});
  }
  sort_rules(response.rules);
  return response;
}

}  // namespace quorvane::categorizer
