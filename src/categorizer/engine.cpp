// categorizer/engine.cpp: categorisation of transactions by rules.
#include "categorizer/engine.h"

#include <string>
#include <string_view>
#include <vector>

#include "categorizer/pattern_set.h"
#include "unicode/lower.h"
#include "unicode/utf8.h"

namespace quorvane::categorizer {

Result<CategorizeResponse, QuorvaneError> categorize_transactions(
    const CategorizeRequest& request) {
  // Each pattern is lowered once per call; the automaton then answers, for each
  // narration in one pass, the first rule in priority order whose pattern occurs in it.
  std::vector<std::string> lowered(request.rules.size());
  for (std::size_t i = 0; i < request.rules.size(); ++i) {
    unicode::append_lower(request.rules[i].pattern, lowered[i]);
  }
  const PatternSet patterns(lowered);

  CategorizeResponse response;
  response.data.reserve(request.data.size());
  std::string buffer;
  for (const MapInput& transaction : request.data) {
    // An ASCII narration is searched as it is: the automaton reads capitals as small
    // letters. Anything else is lowered in full first.
    std::string_view text = transaction.narration;
    if (!unicode::is_ascii(text)) {
      buffer.clear();
      unicode::append_lower(text, buffer);
      text = buffer;
    }
    std::uint32_t rule = patterns.first_match(text);
    if (rule == PatternSet::kNone) {
      response.data.emplace_back();
    } else {
      const CategoryRule& decided = request.rules[rule];
      response.data.emplace_back(MapOutput{decided.category, decided.merchant});
    }
  }
  return response;
}

}  // namespace quorvane::categorizer
