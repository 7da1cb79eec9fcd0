// columns/diagnostics.cpp: the rule-set diagnostics' entry functions: arguments read
// under the interpreter lock, engines run without it.
#include "columns/diagnostics.h"

#include <array>
#include <cstdint>
#include <utility>  // std::move
#include <vector>

#include "columns/binding.h"
#include "columns/diagnose.h"

namespace quorvane::columns {
namespace {

using categorizer::RuleView;

std::vector<RuleView> rule_views(const RuleTexts& texts) {
  std::vector<RuleView> rules(texts.patterns.size());
  for (std::size_t r = 0; r < rules.size(); ++r) {
    rules[r] = {texts.patterns[r], texts.categories[r], texts.merchants[r]};
  }
  return rules;
}

// The narrations and the rules, the arguments that start most calls.
bool narrations_and_rules(Inputs& inputs, PyObject* const (&args)[4], TextColumn& narrations,
                          std::vector<RuleView>& rules) {
  RuleTexts texts;
  if (!inputs.text(args[0], "narrations", narrations) ||
      !read_rules(inputs, args[1], args[2], args[3], texts)) {
    return false;
  }
  rules = rule_views(texts);
  return true;
}

}  // namespace

PyObject* explain_entry(PyObject* args) {
  PyObject* given[4];
  if (!PyArg_ParseTuple(args, "OOOO:explain", &given[0], &given[1], &given[2], &given[3])) {
    return nullptr;
  }
  Inputs inputs;
  TextColumn narrations;
  std::vector<RuleView> rules;
  if (!narrations_and_rules(inputs, given, narrations, rules)) return nullptr;
  std::int64_t too_long = -1;
  SharedTable table;
  {
    Unlocked unlocked;
    table = explain_table(narrations, rules, worker_threads(), too_long);
  }
  if (!table) {
    PyErr_Format(PyExc_ValueError, "narrations: row %lld matches beyond character 2147483647",
                 static_cast<long long>(too_long));
    return nullptr;
  }
  return new_table(std::move(table));
}

PyObject* lint_entry(PyObject* args) {
  PyObject* given[3];
  if (!PyArg_ParseTuple(args, "OOO:lint", &given[0], &given[1], &given[2])) return nullptr;
  Inputs inputs;
  RuleTexts texts;
  if (!read_rules(inputs, given[0], given[1], given[2], texts)) return nullptr;
  const std::vector<RuleView> rules = rule_views(texts);
  return table_without_lock([&] { return lint_table(rules); });
}

PyObject* evaluate_entry(PyObject* args) {
  PyObject* given[4];
  PyObject* labels[2];
  if (!PyArg_ParseTuple(args, "OOOOOO:evaluate", &given[0], &labels[0], &labels[1], &given[1],
                        &given[2], &given[3])) {
    return nullptr;
  }
  Inputs inputs;
  TextColumn narrations;
  std::vector<RuleView> rules;
  if (!narrations_and_rules(inputs, given, narrations, rules)) return nullptr;
  static constexpr const char* kNames[2] = {"categories", "merchants"};
  TextColumn label_columns[2];
  for (int c = 0; c < 2; ++c) {
    if (!inputs.text(labels[c], kNames[c], label_columns[c])) return nullptr;
    if (label_columns[c].size() != narrations.size()) {
      PyErr_Format(PyExc_ValueError, "%s: %lld rows, but narrations has %lld", kNames[c],
                   static_cast<long long>(label_columns[c].size()),
                   static_cast<long long>(narrations.size()));
      return nullptr;
    }
    if (!check_no_nulls(label_columns[c], kNames[c])) return nullptr;
  }
  std::array<SharedTable, 3> tables;
  {
    Unlocked unlocked;
    tables =
        evaluate_tables(narrations, label_columns[0], label_columns[1], rules, worker_threads());
  }
  auto result = py::PyRef::steal(PyTuple_New(3));
  if (!result) return nullptr;
  for (Py_ssize_t i = 0; i < 3; ++i) {
    PyObject* table = new_table(std::move(tables[static_cast<std::size_t>(i)]));
    if (table == nullptr) return nullptr;
    PyTuple_SetItem(result.get(), i, table);  // steals
  }
  return result.release();
}

PyObject* unmatched_entry(PyObject* args) {
  PyObject* given[4];
  Py_ssize_t top;
  if (!PyArg_ParseTuple(args, "OOOOn:unmatched", &given[0], &given[1], &given[2], &given[3],
                        &top)) {
    return nullptr;
  }
  if (top < 0) {
    PyErr_SetString(PyExc_ValueError, "top: expected a count of at least 0");
    return nullptr;
  }
  Inputs inputs;
  TextColumn narrations;
  std::vector<RuleView> rules;
  if (!narrations_and_rules(inputs, given, narrations, rules)) return nullptr;
  return table_without_lock([&] {
    return unmatched_table(narrations, rules, static_cast<std::size_t>(top), worker_threads());
  });
}

}  // namespace quorvane::columns
