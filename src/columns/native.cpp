// columns/native.cpp: PyInit__native, the module quorvane_columns._native.
//
// Each function reads its columns under the interpreter lock (importing and validating
// every Arrow array, or encoding a plain sequence), then releases the lock while the
// engine runs over those buffers and the result's Arrow buffers are built, and takes it
// back to wrap the result.
#include <Python.h>

#include <cstdio>     // std::fprintf
#include <exception>  // std::exception
#include <new>        // std::bad_alloc
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cat.h"
#include "columns/arrow_input.h"
#include "columns/arrow_output.h"
#include "columns/binding.h"
#include "columns/diagnostics.h"
#include "columns/engines.h"
#include "columns/loans.h"
#include "columns/table.h"
#include "fault.h"
#include "py/ref.h"
#include "py/runtime.h"

namespace quorvane::columns {
namespace {

using py::PyRef;

constexpr const char* kVersion = "0.1.1";

// MARK: categorize

PyObject* categorize_entry(PyObject* args) {
  PyObject* narrations_arg;
  PyObject* pattern_arg;
  PyObject* category_arg;
  PyObject* merchant_arg;
  if (!PyArg_ParseTuple(args, "OOOO:categorize", &narrations_arg, &pattern_arg, &category_arg,
                        &merchant_arg)) {
    return nullptr;
  }
  Inputs inputs;
  TextColumn narrations;
  RuleTexts rules;
  if (!inputs.text(narrations_arg, "narrations", narrations) ||
      !read_rules(inputs, pattern_arg, category_arg, merchant_arg, rules)) {
    return nullptr;
  }
  return table_without_lock([&] {
    return categorize_table(narrations, rules.patterns, rules.categories, rules.merchants,
                            worker_threads());
  });
}

// MARK: derive

// The three example columns of a derivation, of equal length and without nulls.
bool example_columns(PyObject* args, const char* format, Inputs& inputs, TextColumn (&columns)[3]) {
  PyObject* sources[3];
  if (!PyArg_ParseTuple(args, format, &sources[0], &sources[1], &sources[2])) return false;
  static constexpr const char* kNames[3] = {"narrations", "categories", "merchants"};
  for (int c = 0; c < 3; ++c) {
    if (!inputs.text(sources[c], kNames[c], columns[c])) return false;
  }
  for (int c = 0; c < 3; ++c) {
    if (columns[c].size() != columns[0].size()) {
      PyErr_Format(PyExc_ValueError, "%s: %lld rows, but narrations has %lld", kNames[c],
                   static_cast<long long>(columns[c].size()),
                   static_cast<long long>(columns[0].size()));
      return false;
    }
    if (!check_no_nulls(columns[c], kNames[c])) return false;
  }
  return true;
}

PyObject* derive_entry(PyObject* args) {
  Inputs inputs;
  TextColumn columns[3];
  if (!example_columns(args, "OOO:derive", inputs, columns)) return nullptr;
  return table_without_lock([&] {
    auto derived =
        categorizer::derive_rules(examples(columns[0], columns[1], columns[2]), worker_threads());
    QV_ASSERT(static_cast<bool>(derived), "derivation never fails");
    return rules_table(derived.value().rules);
  });
}

PyObject* derive_partial_entry(PyObject* args) {
  Inputs inputs;
  TextColumn columns[3];
  if (!example_columns(args, "OOO:derive_partial", inputs, columns)) return nullptr;
  return table_without_lock([&] {
    return counts_table(
        categorizer::derive_counts(examples(columns[0], columns[1], columns[2]), worker_threads()));
  });
}

// The rows of tables of counts (category, merchant, token, count), appended to `rows`
// as views into the tables' buffers, which `inputs` keeps.
bool count_rows(Inputs& inputs, PyObject* source, std::vector<categorizer::TokenCount>& rows) {
  static constexpr const char* kNames[4] = {"category", "merchant", "token", "count"};
  TextColumn texts[3];
  NumberColumn count;
  Imported* table = nullptr;
  bool arrow = is_arrow_producer(source);
  if (arrow && !inputs.table(source, "counts", table)) return false;
  if (!arrow && !PyDict_Check(source)) {
    PyErr_SetString(PyExc_TypeError, "counts: expected an Arrow table or a dict of lists");
    return false;
  }
  for (int c = 0; c < 4; ++c) {
    bool found = true;
    bool read;
    if (arrow) {
      read = c < 3 ? inputs.text_field(*table, kNames[c], texts[c], found)
                   : inputs.number_field(*table, kNames[c], count, found);
    } else {
      PyObject* column = PyDict_GetItemString(source, kNames[c]);  // borrowed
      found = column != nullptr;
      PyRef held = PyRef::borrow(column);
      read = !found || (c < 3 ? inputs.text(held.get(), kNames[c], texts[c])
                              : inputs.numbers(held.get(), kNames[c], count));
    }
    if (!read) return false;
    if (!found) {
      PyErr_Format(PyExc_ValueError, "counts: the table has no column '%s'", kNames[c]);
      return false;
    }
    std::int64_t size = c < 3 ? texts[c].size() : count.size();
    if (size != texts[0].size()) {
      PyErr_Format(PyExc_ValueError, "%s: %lld rows, but category has %lld", kNames[c],
                   static_cast<long long>(size), static_cast<long long>(texts[0].size()));
      return false;
    }
    if (c < 3 && !check_no_nulls(texts[c], kNames[c])) return false;
  }
  RowCursor<TextChunk> cursors[3] = {RowCursor<TextChunk>(texts[0].chunks),
                                     RowCursor<TextChunk>(texts[1].chunks),
                                     RowCursor<TextChunk>(texts[2].chunks)};
  RowCursor<NumberChunk> counts(count.chunks);
  for (std::int64_t i = 0; i < texts[0].size(); ++i) {
    categorizer::TokenCount row;
    std::string_view* fields[3] = {&row.category, &row.merchant, &row.token};
    for (int c = 0; c < 3; ++c) {
      auto [chunk, r] = cursors[c].next();
      *fields[c] = chunk->text(r);
    }
    auto [chunk, r] = counts.next();
    double value = chunk->is_null(r) ? -1.0 : chunk->number(r);
    if (!(value >= 0.0 && value < 0x1p53 &&
          value == static_cast<double>(static_cast<std::uint64_t>(value)))) {
      PyErr_Format(PyExc_ValueError, "count: row %lld is not a whole number of examples",
                   static_cast<long long>(i));
      return false;
    }
    row.count = static_cast<std::uint64_t>(value);
    rows.push_back(row);
  }
  return true;
}

PyObject* derive_merge_entry(PyObject* args) {
  PyObject* tables;
  if (!PyArg_ParseTuple(args, "O:derive_merge", &tables)) return nullptr;
  auto sequence = PyRef::steal(PySequence_Tuple(tables));
  if (!sequence) return nullptr;
  Inputs inputs;
  std::vector<categorizer::TokenCount> rows;
  for (Py_ssize_t i = 0; i < PyTuple_Size(sequence.get()); ++i) {
    if (!count_rows(inputs, PyTuple_GetItem(sequence.get(), i), rows)) return nullptr;
  }
  return table_without_lock([&] { return counts_table(categorizer::merge_counts(rows)); });
}

PyObject* derive_finish_entry(PyObject* args) {
  PyObject* source;
  if (!PyArg_ParseTuple(args, "O:derive_finish", &source)) return nullptr;
  Inputs inputs;
  std::vector<categorizer::TokenCount> rows;
  if (!count_rows(inputs, source, rows)) return nullptr;
  return table_without_lock([&] {
    auto derived = categorizer::derive_from_counts(rows);
    QV_ASSERT(static_cast<bool>(derived), "derivation never fails");
    return rules_table(derived.value().rules);
  });
}

// MARK: emi

// The loan table's columns by their request names: from a table producer, or from a
// mapping of names to plain sequences. Absent columns stay absent.
bool loan_columns(Inputs& inputs, PyObject* source, TextColumn (&texts)[2],
                  NumberColumn (&numbers)[5], LoanColumns& loans) {
  static constexpr const char* kTexts[2] = {"mode", "start"};
  static constexpr const char* kNumbers[5] = {"loanAmount", "emi", "months", "interestRate",
                                              "inflationRate"};
  bool present[7] = {};
  if (is_arrow_producer(source)) {
    Imported* table = nullptr;
    if (!inputs.table(source, "loans", table)) return false;
    for (int c = 0; c < 2; ++c) {
      if (!inputs.text_field(*table, kTexts[c], texts[c], present[c])) return false;
    }
    for (int c = 0; c < 5; ++c) {
      if (!inputs.number_field(*table, kNumbers[c], numbers[c], present[2 + c])) return false;
    }
    loans.rows = table->rows();
  } else if (PyDict_Check(source)) {
    loans.rows = -1;
    auto take_rows = [&](std::int64_t rows, const char* name) {
      if (loans.rows < 0 || loans.rows == rows) {
        loans.rows = rows;
        return true;
      }
      PyErr_Format(PyExc_ValueError, "%s: %lld rows, but the other columns have %lld", name,
                   static_cast<long long>(rows), static_cast<long long>(loans.rows));
      return false;
    };
    for (int c = 0; c < 7; ++c) {
      const char* name = c < 2 ? kTexts[c] : kNumbers[c - 2];
      PyObject* column = PyDict_GetItemString(source, name);  // borrowed; the dict holds it
      if (column == nullptr || column == Py_None) continue;
      PyRef held = PyRef::borrow(column);
      present[c] = true;
      bool read = c < 2 ? inputs.text(held.get(), name, texts[c])
                        : inputs.numbers(held.get(), name, numbers[c - 2]);
      if (!read) return false;
      if (!take_rows(c < 2 ? texts[c].size() : numbers[c - 2].size(), name)) return false;
    }
    if (loans.rows < 0) loans.rows = 0;
  } else {
    PyErr_SetString(PyExc_TypeError, "loans: expected an Arrow table or a dict of columns (lists)");
    return false;
  }
  loans.mode = present[0] ? &texts[0] : nullptr;
  loans.start = present[1] ? &texts[1] : nullptr;
  const NumberColumn** fields[5] = {&loans.loan_amount, &loans.emi, &loans.months,
                                    &loans.interest_rate, &loans.inflation_rate};
  for (int c = 0; c < 5; ++c) *fields[c] = present[2 + c] ? &numbers[c] : nullptr;
  return true;
}

PyObject* emi_entry(PyObject* args) {
  PyObject* source;
  if (!PyArg_ParseTuple(args, "O:emi", &source)) return nullptr;
  Inputs inputs;
  TextColumn texts[2];
  NumberColumn numbers[5];
  LoanColumns loans;
  if (!loan_columns(inputs, source, texts, numbers, loans)) return nullptr;
  std::pair<SharedTable, SharedTable> tables;
  {
    Unlocked unlocked;
    tables = solve_loans(loans, worker_threads());
  }
  auto first = PyRef::steal(new_table(std::move(tables.first)));
  if (!first) return nullptr;
  auto second = PyRef::steal(new_table(std::move(tables.second)));
  if (!second) return nullptr;
  return PyTuple_Pack(2, first.get(), second.get());
}

// MARK: the guard around every call

PyObject* guard(PyObject* (*body)(PyObject*), PyObject* args) {
  try {
    return body(args);
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    return PyErr_NoMemory();
  } catch (const InternalFault& fault) {
    std::fprintf(stderr, "quorvane_columns: internal fault at %s:%u: %s\n",
                 fault.where().file_name(), static_cast<unsigned>(fault.where().line()),
                 fault.what());
    PyErr_Clear();
    if (PyObject* panic = py::panic_exception()) PyErr_SetString(panic, fault.what());
    return nullptr;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorvane_columns: internal fault: %s\n", e.what());
    PyErr_Clear();
    if (PyObject* panic = py::panic_exception()) PyErr_SetString(panic, e.what());
    return nullptr;
  }
}

PyObject* categorize_function(PyObject*, PyObject* args) { return guard(categorize_entry, args); }

PyObject* derive_function(PyObject*, PyObject* args) { return guard(derive_entry, args); }

PyObject* emi_function(PyObject*, PyObject* args) { return guard(emi_entry, args); }

PyObject* explain_function(PyObject*, PyObject* args) { return guard(explain_entry, args); }
PyObject* lint_function(PyObject*, PyObject* args) { return guard(lint_entry, args); }
PyObject* evaluate_function(PyObject*, PyObject* args) { return guard(evaluate_entry, args); }
PyObject* unmatched_function(PyObject*, PyObject* args) { return guard(unmatched_entry, args); }

PyObject* derive_partial_function(PyObject*, PyObject* args) {
  return guard(derive_partial_entry, args);
}
PyObject* derive_merge_function(PyObject*, PyObject* args) {
  return guard(derive_merge_entry, args);
}
PyObject* derive_finish_function(PyObject*, PyObject* args) {
  return guard(derive_finish_entry, args);
}

PyMethodDef g_functions[] = {
    {"derive_partial", derive_partial_function, METH_VARARGS,
     "derive_partial(narrations, categories, merchants)\n--\n\n"
     "The counts derivation is made of: a Table of category, merchant, token, count."},
    {"derive_merge", derive_merge_function, METH_VARARGS,
     "derive_merge(tables)\n--\n\nTables of counts added up into one."},
    {"derive_finish", derive_finish_function, METH_VARARGS,
     "derive_finish(counts)\n--\n\nThe rules a table of counts gives."},
    {"emi", emi_function, METH_VARARGS,
     "emi(loans)\n--\n\n"
     "Solves each loan of a table: a pair of Tables, loans and schedule."},
    {"derive", derive_function, METH_VARARGS,
     "derive(narrations, categories, merchants)\n--\n\n"
     "Rules learnt from labelled examples: a Table of pattern, category, merchant."},
    {"categorize", categorize_function, METH_VARARGS,
     "categorize(narrations, pattern, category, merchant)\n--\n\n"
     "Each narration's first matching rule: a Table of rule, category, merchant."},
    {"explain", explain_function, METH_VARARGS,
     "explain(narrations, pattern, category, merchant)\n--\n\n"
     "Why each narration gets its rule: a Table of rule, start, end, matched."},
    {"lint", lint_function, METH_VARARGS,
     "lint(pattern, category, merchant)\n--\n\n"
     "The rules that never win: a Table of rule, kind, by, message."},
    {"evaluate", evaluate_function, METH_VARARGS,
     "evaluate(narrations, categories, merchants, pattern, category, merchant)\n--\n\n"
     "The rules' figures on labelled rows: Tables per_rule, per_category, summary."},
    {"unmatched", unmatched_function, METH_VARARGS,
     "unmatched(narrations, pattern, category, merchant, top)\n--\n\n"
     "Unmatched narrations grouped by a word: a Table of word, count, examples."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "quorvane_columns._native",
    "",
    0,
    g_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* initialise() {
  auto module = PyRef::steal(PyModule_Create(&g_definition));
  if (!module) return nullptr;
  if (!make_table_type_once(module.get())) return nullptr;
  PyRef type = PyRef::borrow(table_type());
  if (PyModule_AddObject(module.get(), "Table", type.get()) < 0) return nullptr;
  type.release();  // PyModule_AddObject stole it
  if (PyModule_AddStringConstant(module.get(), "__version__", kVersion) < 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace quorvane::columns

PyMODINIT_FUNC PyInit__native(void) {
  try {
    return quorvane::columns::initialise();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return nullptr;
  }
}
