// categorizer/engine.h: categorisation of transactions by rules, and derivation of rules.
#pragma once

#include "categorizer/model.h"
#include "error.h"
#include "result.h"

namespace quorvane::categorizer {

/// Gives each transaction the category and merchant of the first rule whose pattern
/// occurs in its narration, letter case ignored, or an empty entry. Never fails.
Result<CategorizeResponse, QuorvaneError> categorize_transactions(const CategorizeRequest& request);

}  // namespace quorvane::categorizer
