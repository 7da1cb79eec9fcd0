// tests/fuzz/fuzz_categorize.cpp: the automaton against the rule-by-rule scan.
//
// The input is split into lines: a line starting with '>' is a narration (the rest of the
// line), any other line a pattern, in priority order. Rule i has category "c<i>" and
// merchant "m<i>". Checked:
// - categorize_transactions gives each narration the first rule whose lowered pattern
//   occurs in the lowered narration, or nothing, and so does every walk of a Categorizer
//   (rules_for over all narrations at once, and rule_for one by one);
// - PatternSet over the lowered patterns, in every layout (dense table of either size of
//   entries, trie walk), answers the first pattern occurring in the narration with only
//   ASCII capitals lowered, and its occurrences() the same pattern, where it first occurs
//   and how many occur;
// - Categorizer::explain gives the rule categorisation gives, as many matches as the
//   scan finds in the lowered narration, and a span inside the narration; explain_all,
//   over either size of entries, what explain gives.
// Any bytes are used, not only UTF-8: lowering is defined, if unspecified, on any bytes,
// and every walk of a Categorizer answers kMalformed for a narration that is not
// well-formed UTF-8. categorize_transactions, whose narrations come from JSON or a str,
// is given only well-formed ones.
#include <algorithm>  // std::min
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "categorizer/engine.h"
#include "categorizer/pattern_set.h"
#include "fuzz_check.h"
#include "unicode/lower.h"

namespace {

using namespace quorvane;
using categorizer::PatternSet;

std::string lower(std::string_view text) {
  std::string out;
  unicode::append_lower(text, out);
  return out;
}

std::string lower_ascii_only(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Index of the first pattern occurring in `text`, or kNone.
std::uint32_t first_by_scan(const std::vector<std::string>& patterns, std::string_view text) {
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    if (text.find(patterns[i]) != std::string_view::npos) return static_cast<std::uint32_t>(i);
  }
  return PatternSet::kNone;
}

// How many patterns occur in `text`.
std::uint32_t count_by_scan(const std::vector<std::string>& patterns, std::string_view text) {
  std::uint32_t n = 0;
  for (const std::string& pattern : patterns) n += text.find(pattern) != std::string_view::npos;
  return n;
}

// What occurrences() must find in `text`.
bool same_occurrences(const PatternSet::Occurrences& found,
                      const std::vector<std::string>& patterns, std::string_view text) {
  const std::uint32_t first = first_by_scan(patterns, text);
  std::size_t start = 0;
  std::size_t end = 0;
  if (first != PatternSet::kNone && !patterns[first].empty()) {
    start = text.find(patterns[first]);
    end = start + patterns[first].size();
  }
  return found.first == first && found.start == start && found.end == end &&
         found.count == count_by_scan(patterns, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  categorizer::CategorizeRequest request;
  for (std::size_t start = 0; start <= input.size();) {
    const std::size_t stop = std::min(input.find('\n', start), input.size());
    const std::string_view line = input.substr(start, stop - start);
    if (!line.empty() && line.front() == '>') {
      request.data.push_back({std::string(line.substr(1))});
    } else {
      const std::string i = std::to_string(request.rules.size());
      request.rules.push_back({std::string(line), "c" + i, "m" + i});
    }
    start = stop + 1;
  }

  std::vector<std::string> lowered;
  for (const auto& rule : request.rules) lowered.push_back(lower(rule.pattern));
  const PatternSet dense(lowered);
  const PatternSet walked(lowered, 0);
  const PatternSet wide(lowered, PatternSet::kDenseLimit, categorizer::DenseTable::Entries::kWide);
  PatternSet::Marks marks;
  std::vector<std::string_view> patterns;
  for (const auto& rule : request.rules) patterns.push_back(rule.pattern);
  const categorizer::Categorizer categorizer(patterns);
  categorizer::Categorizer::Scratch scratch;
  using Walk = categorizer::Categorizer::Walk;
  std::vector<std::string_view> narrations;
  for (const auto& transaction : request.data) narrations.push_back(transaction.narration);
  std::vector<std::vector<std::int32_t>> decided;
  std::string lowering;
  for (Walk walk :
       {Walk::kAuto, Walk::kInterleaved, Walk::kAscii, Walk::kDense, Walk::kTrie, Walk::kWide}) {
    const categorizer::Categorizer walked_by(patterns, walk);
    categorizer::Categorizer::Batch batch;
    decided.emplace_back(narrations.size());
    walked_by.rules_for(narrations, decided.back().data(), batch);
    for (std::size_t t = 0; t < narrations.size(); ++t) {
      const std::uint32_t one = walked_by.rule_for(narrations[t], lowering);
      QV_FUZZ_CHECK(static_cast<std::int32_t>(one) == decided.back()[t]);
    }
  }

  std::vector<std::vector<categorizer::Categorizer::Explanation>> explained;
  for (Walk walk : {Walk::kAuto, Walk::kWide}) {
    explained.emplace_back(narrations.size());
    categorizer::Categorizer(patterns, walk)
        .explain_all(narrations, explained.back().data(), scratch);
  }

  const bool all_well_formed = std::all_of(narrations.begin(), narrations.end(), fuzz::valid_utf8);
  categorizer::CategorizeResponse response;
  if (all_well_formed) {
    auto categorized = categorizer::categorize_transactions(request);
    QV_FUZZ_CHECK(categorized);
    response = std::move(categorized).value();
    QV_FUZZ_CHECK(response.data.size() == request.data.size());
  }
  for (std::size_t t = 0; t < request.data.size(); ++t) {
    const std::string& narration = request.data[t].narration;
    const bool well_formed = fuzz::valid_utf8(narration);
    const std::uint32_t expected = well_formed ? first_by_scan(lowered, lower(narration))
                                               : categorizer::Categorizer::kMalformed;
    for (const auto& rules : decided)
      QV_FUZZ_CHECK(rules[t] == static_cast<std::int32_t>(expected));
    if (all_well_formed) {
      const auto& entry = response.data[t];
      QV_FUZZ_CHECK(static_cast<bool>(entry) == (expected != PatternSet::kNone));
      if (entry) {
        QV_FUZZ_CHECK(entry->category == request.rules[expected].category);
        QV_FUZZ_CHECK(entry->merchant == request.rules[expected].merchant);
      }
    }

    const std::string ascii_lowered = lower_ascii_only(narration);
    for (const PatternSet* set : {&dense, &walked, &wide}) {
      QV_FUZZ_CHECK(set->first_match(narration) == first_by_scan(lowered, ascii_lowered));
      QV_FUZZ_CHECK(same_occurrences(set->occurrences(narration, marks), lowered, ascii_lowered));
    }

    const auto why = categorizer.explain(narration, scratch);
    QV_FUZZ_CHECK(why.rule == expected);
    QV_FUZZ_CHECK(why.matched == (well_formed ? count_by_scan(lowered, lower(narration)) : 0));
    QV_FUZZ_CHECK(why.start <= why.end && why.end <= narration.size());
    QV_FUZZ_CHECK(why.rule != PatternSet::kNone || why.end == 0);
    for (const auto& all : explained) {
      QV_FUZZ_CHECK(all[t].rule == why.rule && all[t].start == why.start && all[t].end == why.end &&
                    all[t].matched == why.matched);
    }
  }
  return 0;
}
