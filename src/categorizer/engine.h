// categorizer/engine.h: categorisation of transactions by rules, and derivation of rules.
#pragma once

#include "categorizer/model.h"
#include "error.h"
#include "result.h"

namespace quorvane::categorizer {

/// Gives each transaction the category and merchant of the first rule whose pattern
/// occurs in its narration, letter case ignored, or an empty entry. Never fails.
Result<CategorizeResponse, QuorvaneError> categorize_transactions(const CategorizeRequest& request);

/// Derives at most one rule per (category, merchant) pair of the examples: the word most
/// typical of the pair's narrations. Rules come sorted by category, then merchant, in
/// byte order. Never fails.
Result<DeriveRulesResponse, QuorvaneError> derive_rules(const DeriveRulesRequest& request);

}  // namespace quorvane::categorizer
