// categorizer/engine.cpp: categorisation of transactions by rules.
#include "categorizer/engine.h"

#include <algorithm>  // std::min
#include <string>
#include <string_view>
#include <vector>

#include "fault.h"
#include "unicode/lower.h"
#include "unicode/utf8.h"

namespace quorvane::categorizer {

namespace {

// Each pattern lowered once; the automaton then answers, for each narration in one
// pass, the first rule in priority order whose pattern occurs in it.
std::vector<std::string> lowered_patterns(std::span<const std::string_view> patterns) {
  std::vector<std::string> lowered(patterns.size());
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    unicode::append_lower(patterns[i], lowered[i]);
  }
  return lowered;
}

}  // namespace

Categorizer::Categorizer(std::span<const std::string_view> patterns, Walk walk)
    : walk_(walk),
      patterns_(lowered_patterns(patterns), walk == Walk::kTrie ? 0 : PatternSet::kDenseLimit,
                walk == Walk::kWide ? DenseTable::Entries::kWide : DenseTable::Entries::kFit) {
  if (patterns_.table() == nullptr) {
    walk_ = Walk::kTrie;
  } else if (walk_ == Walk::kAuto) {
    walk_ = Walk::kInterleaved;
  }
}

const DenseTable* Categorizer::ascii_table() const noexcept {
  return walk_ == Walk::kInterleaved || walk_ == Walk::kAscii || walk_ == Walk::kWide
             ? patterns_.table()
             : nullptr;
}

std::uint32_t Categorizer::lowered_rule(std::string_view narration, std::string& scratch) const {
  if (!unicode::well_formed(narration)) return kMalformed;
  scratch.clear();
  unicode::append_lower(narration, scratch);
  return patterns_.first_match(scratch);
}

std::uint32_t Categorizer::rule_for(std::string_view narration, std::string& scratch) const {
  // An ASCII narration is searched as it is: capitals are read as small letters.
  // Anything else is lowered in full first.
  if (const DenseTable* table = ascii_table()) {
    const std::uint32_t rule = table->first_match(narration, DenseTable::Alphabet::kAscii);
    return rule != DenseTable::kNotAscii ? rule : lowered_rule(narration, scratch);
  }
  if (unicode::is_ascii(narration)) return patterns_.first_match(narration);
  return lowered_rule(narration, scratch);
}

void Categorizer::rules_for(std::span<const std::string_view> narrations, std::int32_t* rules,
                            Batch& batch) const {
  // kNone, kNotAscii and kMalformed written as unsigned are -1, -2 and -3 as signed: an
  // int32 may be written through its unsigned type.
  auto* out = reinterpret_cast<std::uint32_t*>(rules);
  const DenseTable* table = ascii_table();
  if (table == nullptr) {
    for (std::size_t i = 0; i < narrations.size(); ++i) {
      out[i] = rule_for(narrations[i], batch.lowered);
      batch.malformed += out[i] == kMalformed ? 1 : 0;
    }
    return;
  }
  table->first_matches(narrations, out, DenseTable::Alphabet::kAscii,
                       walk_ == Walk::kAscii ? 1 : DenseTable::kLanes);
  // The narrations that are not ASCII are lowered in full, then searched together in
  // the whole automaton.
  batch.lowered.clear();
  batch.rows.clear();
  batch.ends.clear();
  for (std::size_t i = 0; i < narrations.size(); ++i) {
    if (out[i] != DenseTable::kNotAscii) continue;
    if (!unicode::well_formed(narrations[i])) {
      out[i] = kMalformed;
      ++batch.malformed;
      continue;
    }
    unicode::append_lower(narrations[i], batch.lowered);
    batch.rows.push_back(i);
    batch.ends.push_back(batch.lowered.size());
  }
  if (batch.rows.empty()) return;
  batch.texts.clear();
  for (std::size_t k = 0, start = 0; k < batch.ends.size(); start = batch.ends[k++]) {
    batch.texts.push_back(std::string_view(batch.lowered).substr(start, batch.ends[k] - start));
  }
  batch.rules.resize(batch.texts.size());
  patterns_.first_matches(batch.texts, batch.rules.data());
  for (std::size_t k = 0; k < batch.rows.size(); ++k) out[batch.rows[k]] = batch.rules[k];
}

Categorizer::Explanation Categorizer::explain(std::string_view narration, Scratch& scratch) const {
  const bool ascii = unicode::is_ascii(narration);
  std::string_view lowered = narration;
  if (!ascii) {
    if (!unicode::well_formed(narration)) return {kMalformed, 0, 0, 0};
    scratch.lowered.clear();
    unicode::append_lower(narration, scratch.lowered);
    lowered = scratch.lowered;
  }
  const PatternSet::Occurrences found = patterns_.occurrences(lowered, scratch.marks);
  Explanation explained{found.first, found.start, found.end, found.count};
  // Lower-casing keeps an ASCII text's bytes in place, one per character; anything else
  // is mapped back character by character.
  if (!ascii && found.end != 0) {
    const unicode::CodePointSpan span = unicode::lowered_span(narration, found.start, found.end);
    explained.start = span.start;
    explained.end = span.end;
  }
  return explained;
}

void Categorizer::explain_all(std::span<const std::string_view> narrations, Explanation* out,
                              Scratch& scratch) const {
  const DenseTable* table =
      walk_ == Walk::kInterleaved || walk_ == Walk::kWide ? patterns_.table() : nullptr;
  if (table == nullptr) {
    for (std::size_t i = 0; i < narrations.size(); ++i) out[i] = explain(narrations[i], scratch);
    return;
  }
  // Over kAscii, as rules_for(): an ASCII narration's positions are its characters'; a
  // narration holding any other byte is cut short there, then lowered and explained alone.
  table->pattern_ends(narrations, DenseTable::Alphabet::kAscii, scratch.ends,
                      [&](std::size_t i, std::span<const DenseTable::End> ends, bool complete) {
                        if (!complete) {
                          out[i] = explain(narrations[i], scratch);
                          return;
                        }
                        const PatternSet::Occurrences found =
                            patterns_.occurrences(ends, scratch.marks);
                        out[i] = {found.first, found.start, found.end, found.count};
                      });
}

Result<CategorizeResponse, QuorvaneError> categorize_transactions(
    const CategorizeRequest& request) {
  std::vector<std::string_view> patterns;
  patterns.reserve(request.rules.size());
  for (const CategoryRule& rule : request.rules) patterns.push_back(rule.pattern);
  const Categorizer categorizer(patterns);

  CategorizeResponse response;
  response.data.reserve(request.data.size());
  // A batch of narrations at a time, so that the automaton walks several at once.
  constexpr std::size_t kBatch = 1024;
  std::vector<std::string_view> narrations(std::min(kBatch, request.data.size()));
  std::vector<std::int32_t> rules(narrations.size());
  Categorizer::Batch batch;
  for (std::size_t begin = 0; begin < request.data.size(); begin += kBatch) {
    const std::size_t count = std::min(kBatch, request.data.size() - begin);
    for (std::size_t i = 0; i < count; ++i) narrations[i] = request.data[begin + i].narration;
    categorizer.rules_for({narrations.data(), count}, rules.data(), batch);
    for (std::size_t i = 0; i < count; ++i) {
      if (rules[i] < 0) {
        response.data.emplace_back();
      } else {
        const CategoryRule& decided = request.rules[static_cast<std::size_t>(rules[i])];
        response.data.emplace_back(MapOutput{decided.category, decided.merchant});
      }
    }
  }
  QV_ASSERT(batch.malformed == 0, "narrations read from JSON or a str are well-formed");
  return response;
}

}  // namespace quorvane::categorizer
