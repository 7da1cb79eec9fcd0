// columns/arguments.cpp: rules, examples, counts, loans and threads from Python arguments.
#include "columns/arguments.h"

#include <algorithm>  // std::max, std::min
#include <climits>    // UINT_MAX, ULLONG_MAX
#include <cstdint>    // SIZE_MAX
#include <string>
#include <string_view>
#include <thread>

#include "cat.h"
#include "categorizer/tokens.h"
#include "columns/engines.h"
#include "fault.h"
#include "py/failure.h"
#include "quote.h"

namespace quorvane::columns {
namespace {

using categorizer::CategoryRule;
using categorizer::TokenCount;
using categorizer::TokenCountRow;
using py::PyRef;

bool value_error(std::string message) {
  return Inputs::raise({ReadFailure::Kind::kValue, std::move(message)});
}

bool type_error(std::string message) {
  return Inputs::raise({ReadFailure::Kind::kType, std::move(message)});
}

// The records of an input read with Rows::kAll, whose rows are all records: a row that
// is none was refused before, by its column or its element.
template <record::RecordType R>
std::vector<R> all_records(RecordInput<R>& in) {
  std::vector<R> out;
  if (!in.by_columns) {
    for (auto& element : in.elements) out.push_back(std::move(element).value());
    return out;
  }
  RowReader<R> reader(in.columns);
  out.resize(static_cast<std::size_t>(in.columns.rows));
  for (R& record : out) {
    DecodeFailure failure;
    QV_ASSERT(reader.next(record, failure), "a row of a checked table is a record");
  }
  return out;
}

}  // namespace

// `source`, or what a request mapping (not a mapping of columns) holds under `key`.
bool unwrap_request(PyObject* source, const char* key, PyRef& out) {
  out = PyRef::borrow(source);
  if (is_arrow_producer(source) || !py::detail::is_mapping(source) ||
      PyMapping_HasKeyString(source, key) != 1) {
    return true;
  }
  out = PyRef::steal(PyMapping_GetItemString(source, key));
  return static_cast<bool>(out);
}

bool read_rules(Inputs& inputs, PyObject* source, std::vector<CategoryRule>& out) {
  PyRef rules;
  if (!unwrap_request(source, "rules", rules)) return false;
  RecordInput<CategoryRule> in;
  if (!inputs.records(rules.get(), "rules", Rows::kAll, in)) return false;
  out = all_records(in);
  if (out.size() >= static_cast<std::size_t>(INT32_MAX)) {
    return value_error("rules: too many rules");
  }
  return true;
}

bool read_examples(Inputs& inputs, PyObject* narrations, PyObject* categories, PyObject* merchants,
                   ExampleRows& out) {
  if (categories == Py_None) categories = nullptr;
  if (merchants == Py_None) merchants = nullptr;
  if (categories == nullptr && merchants == nullptr) {
    PyRef source;
    if (!unwrap_request(narrations, "data", source)) return false;
    RecordInput<categorizer::DeriveInput> in;
    if (!inputs.records(source.get(), "examples", Rows::kAll, in)) return false;
    if (in.by_columns) {
      const auto& fields = in.columns.fields;
      out = ExampleRows(*fields[0].text, *fields[1].text, *fields[2].text);
    } else {
      std::vector<categorizer::ExampleView> views;
      for (const auto& example : inputs.keep(all_records(in))) {
        views.push_back({example.narration, example.category, example.merchant});
      }
      out = ExampleRows(std::move(views));
    }
    return true;
  }
  if (categories == nullptr || merchants == nullptr) {
    return type_error(
        "examples: expected categories and merchants beside the narrations, or one table");
  }
  static constexpr const char* kNames[3] = {"narrations", "categories", "merchants"};
  PyObject* sources[3] = {narrations, categories, merchants};
  TextColumn columns[3];
  for (int c = 0; c < 3; ++c) {
    const std::string_view choose =
        c == 0 ? "pass the table alone, without categories and merchants, or one column of it"
               : "pass one column of it";
    if (!inputs.text(sources[c], kNames[c], nullptr, columns[c], Utf8::kCheck, choose)) {
      return false;
    }
  }
  for (int c = 0; c < 3; ++c) {
    if (columns[c].size() != columns[0].size()) {
      return value_error(cat(kNames[c], ": ", std::to_string(columns[c].size()),
                             " rows, but narrations has ", std::to_string(columns[0].size())));
    }
    // A null label reads as empty, as a blank cell; a null narration is refused.
    const std::int64_t row =
        kNullReadsEmpty<categorizer::DeriveInput>[c] ? -1 : columns[c].first_null();
    if (row >= 0) {
      return value_error(cat(kNames[c], ": null in row ", std::to_string(row)));
    }
  }
  out = ExampleRows(columns[0], columns[1], columns[2]);
  return true;
}

bool read_counts(Inputs& inputs, PyObject* source, std::string_view label,
                 std::vector<TokenCount>& out) {
  RecordInput<TokenCountRow> in;
  if (!inputs.records(source, label, Rows::kAll, in)) return false;
  const std::size_t first = out.size();
  if (!in.by_columns) {
    for (const TokenCountRow& row : inputs.keep(all_records(in))) {
      out.push_back({row.category, row.merchant, row.token, row.count});
    }
  } else {
    // Texts viewed where they lie; counts read through the declaration.
    const auto& fields = in.columns.fields;
    RowCursor<TextChunk> texts[3] = {RowCursor<TextChunk>(fields[0].text->chunks),
                                     RowCursor<TextChunk>(fields[1].text->chunks),
                                     RowCursor<TextChunk>(fields[2].text->chunks)};
    RowCursor<NumberChunk> counts(fields[3].number->chunks);
    for (std::int64_t i = 0; i < in.columns.rows; ++i) {
      TokenCount row;
      std::string_view* views[3] = {&row.category, &row.merchant, &row.token};
      for (int c = 0; c < 3; ++c) {
        auto [chunk, r] = texts[c].next();
        *views[c] = chunk->text(r);
      }
      auto [chunk, r] = counts.next();
      DecodeFailure failure;
      if (!detail::read_cell(Cell{nullptr, chunk, r}, row.count, failure)) {
        return value_error(
            cat(label, ": column 'count': row ", std::to_string(i), ": ", failure.message()));
      }
      out.push_back(row);
    }
  }
  // Each token is one that derive_partial gives: a table of something else (columns
  // renamed, or swapped) is refused rather than read as counts.
  for (std::size_t i = first; i < out.size(); ++i) {
    if (!categorizer::is_token(out[i].token)) {
      std::string token;
      append_quoted(out[i].token, token);
      return value_error(cat(label, ": column 'token': row ", std::to_string(i - first), ": ",
                             token,
                             " is no token (a word of at least 3 letters or digits, in lower "
                             "case, as derive_partial gives it)"));
    }
    // Derivation counts examples in 32 bits.
    if (out[i].count >= categorizer::kExampleLimit) {
      return value_error(cat(label, ": column 'count': row ", std::to_string(i - first), ": ",
                             std::to_string(out[i].count),
                             " is more examples than derivation counts (at most ",
                             std::to_string(categorizer::kExampleLimit - 1), ")"));
    }
  }
  return true;
}

bool read_loans(Inputs& inputs, PyObject* source, std::vector<LoanRequest>& out,
                std::vector<emi::EmiCharges>& charges, bool& fees) {
  RecordInput<emi::EmiRequest> in;
  RecordInput<emi::EmiCharges> costs;
  if (!inputs.records(source, "loans", Rows::kEach, in, costs)) return false;
  // The text the object form raises for a request that does not read.
  auto reason = [](const DecodeFailure& failure) {
    return cat("invalid request: ", failure.message());
  };
  if (!in.by_columns) {
    fees = false;
    for (std::size_t i = 0; i < in.elements.size(); ++i) {
      auto& element = in.elements[i];
      auto& cost = costs.elements[i];
      if (!element) {
        out.emplace_back(reason(element.error()));
      } else if (!cost) {
        out.emplace_back(reason(cost.error()));
      } else {
        out.emplace_back(std::move(element).value());
      }
      charges.push_back(cost ? cost.value() : emi::EmiCharges{});
      auto row = py::PyRef::borrow(PyTuple_GetItem(in.sequence.get(), static_cast<Py_ssize_t>(i)));
      fees = fees ||
             (py::detail::is_mapping(row.get()) && PyMapping_HasKeyString(row.get(), "fees") == 1);
    }
    return true;
  }
  fees = costs.columns.fields[0].present();
  RowReader<emi::EmiRequest> reader(in.columns);
  RowReader<emi::EmiCharges> cost_reader(costs.columns);
  const auto rows = static_cast<std::size_t>(in.columns.rows);
  out.reserve(rows);
  charges.resize(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    // Both readers move on by one row, whatever either finds.
    emi::EmiRequest request{};
    DecodeFailure failure;
    DecodeFailure cost_failure;
    const bool read = reader.next(request, failure);
    const bool costed = cost_reader.next(charges[i], cost_failure);
    if (!read) {
      out.emplace_back(reason(failure));
    } else if (!costed) {
      out.emplace_back(reason(cost_failure));
    } else {
      out.emplace_back(request);
    }
  }
  return true;
}

bool read_events(Inputs& inputs, PyObject* source, std::vector<emi::EmiEvent>& out) {
  RecordInput<emi::EmiEvent> in;
  if (!inputs.records(source, "events", Rows::kAll, in)) return false;
  if (!in.by_columns) {
    out = all_records(in);
    return true;
  }
  RowReader<emi::EmiEvent> reader(in.columns);
  out.resize(static_cast<std::size_t>(in.columns.rows));
  for (std::size_t i = 0; i < out.size(); ++i) {
    DecodeFailure failure;
    if (!reader.next(out[i], failure)) {
      return value_error(detail::element_failure(failure, "events", static_cast<Py_ssize_t>(i)));
    }
  }
  return true;
}

namespace {

// A count argument named `name`: any int (anything with __index__, numpy's integers among
// them) but a bool, of at least `minimum` (`wanted` says so in the failure). One past a
// long long is as good as the largest.
bool read_count(PyObject* value, std::string_view name, std::string_view type, long long minimum,
                std::string_view wanted, unsigned long long& out) {
  PyRef index = PyBool_Check(value) ? PyRef() : PyRef::steal(PyNumber_Index(value));
  if (!index) {
    if (PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    return type_error(cat(name, ": expected ", type, ", got '", py::type_name(value), "'"));
  }
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (count == -1 && PyErr_Occurred() != nullptr) return false;
  if (overflow < 0 || (overflow == 0 && count < minimum)) {
    return value_error(cat(name, ": expected ", wanted, ", got ",
                           overflow < 0 ? "a large negative number" : std::to_string(count)));
  }
  out = overflow > 0 ? ULLONG_MAX : static_cast<unsigned long long>(count);
  return true;
}

}  // namespace

bool read_threads(PyObject* value, unsigned& out) {
  if (value == nullptr || value == Py_None) {
    out = std::max(1U, std::thread::hardware_concurrency());
    return true;
  }
  unsigned long long threads = 0;
  if (!read_count(value, "threads", "an int or None", 1, "at least 1", threads)) return false;
  // Never more threads than parts of work, so a large number is as good as the largest.
  out = static_cast<unsigned>(std::min<unsigned long long>(threads, UINT_MAX));
  return true;
}

bool read_top(PyObject* value, std::size_t& out) {
  unsigned long long top = 0;
  if (!read_count(value, "top", "an int", 0, "a count of at least 0", top)) return false;
  // More groups than there can be narrations is as good as the largest count.
  out = static_cast<std::size_t>(std::min<unsigned long long>(top, SIZE_MAX));
  return true;
}

}  // namespace quorvane::columns
