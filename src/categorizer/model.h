// categorizer/model.h: records of transaction categorisation and rule derivation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "record.h"

namespace quorvane::categorizer {

/// A rule: a narration containing `pattern` (letter case ignored) gets the category and
/// merchant. Read in categorisation requests, written by rule derivation.
struct CategoryRule {
  std::string pattern;
  std::string category;
  std::string merchant;
};

/// One transaction to categorise.
struct MapInput {
  std::string narration;
};

/// The category and merchant of the rule that decided a transaction.
struct MapOutput {
  std::string category;
  std::string merchant;
};

/// Transactions in the caller's order and rules in priority order.
struct CategorizeRequest {
  std::vector<MapInput> data;
  std::vector<CategoryRule> rules;
};

/// One entry per transaction, empty where no rule matched.
struct CategorizeResponse {
  std::vector<std::optional<MapOutput>> data;
};

/// One labelled example for rule derivation.
struct DeriveInput {
  std::string narration;
  std::string category;
  std::string merchant;
};

struct DeriveRulesRequest {
  std::vector<DeriveInput> data;
};

/// At most one rule per (category, merchant), sorted by category then merchant.
struct DeriveRulesResponse {
  std::vector<CategoryRule> rules;
};

/// How many examples of one (category, merchant) group hold one token: a row of the
/// counts that derivation can be split into (the column door's derive_partial).
struct TokenCountRow {
  std::string category;
  std::string merchant;
  std::string token;
  std::uint64_t count = 0;
};

}  // namespace quorvane::categorizer

namespace quorvane::record {

template <>
struct Schema<categorizer::CategoryRule> {
  using R = categorizer::CategoryRule;
  static constexpr std::string_view name = "CategoryRule";
  static constexpr std::tuple fields{
      required("pattern", &R::pattern),
      required("category", &R::category),
      required("merchant", &R::merchant),
  };
};

template <>
struct Schema<categorizer::MapInput> {
  using R = categorizer::MapInput;
  static constexpr std::string_view name = "MapInput";
  static constexpr std::tuple fields{required("narration", &R::narration)};
};

template <>
struct Schema<categorizer::MapOutput> {
  using R = categorizer::MapOutput;
  static constexpr std::string_view name = "MapOutput";
  static constexpr std::tuple fields{
      required("category", &R::category),
      required("merchant", &R::merchant),
  };
};

template <>
struct Schema<categorizer::CategorizeRequest> {
  using R = categorizer::CategorizeRequest;
  static constexpr std::string_view name = "CategorizeRequest";
  static constexpr std::tuple fields{
      required("data", &R::data),
      required("rules", &R::rules),
  };
};

template <>
struct Schema<categorizer::CategorizeResponse> {
  using R = categorizer::CategorizeResponse;
  static constexpr std::string_view name = "CategorizeResponse";
  static constexpr std::tuple fields{required("data", &R::data)};
};

template <>
struct Schema<categorizer::DeriveInput> {
  using R = categorizer::DeriveInput;
  static constexpr std::string_view name = "DeriveInput";
  static constexpr std::tuple fields{
      required("narration", &R::narration),
      required("category", &R::category),
      required("merchant", &R::merchant),
  };
};

template <>
struct Schema<categorizer::DeriveRulesRequest> {
  using R = categorizer::DeriveRulesRequest;
  static constexpr std::string_view name = "DeriveRulesRequest";
  static constexpr std::tuple fields{required("data", &R::data)};
};

template <>
struct Schema<categorizer::DeriveRulesResponse> {
  using R = categorizer::DeriveRulesResponse;
  static constexpr std::string_view name = "DeriveRulesResponse";
  static constexpr std::tuple fields{required("rules", &R::rules)};
};

template <>
struct Schema<categorizer::TokenCountRow> {
  using R = categorizer::TokenCountRow;
  static constexpr std::string_view name = "TokenCountRow";
  static constexpr std::tuple fields{
      required("category", &R::category),
      required("merchant", &R::merchant),
      required("token", &R::token),
      required("count", &R::count),
  };
};

}  // namespace quorvane::record
