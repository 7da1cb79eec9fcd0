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
#include <thread>
#include <unordered_map>
#include <vector>

#include "cat.h"
#include "columns/arrow_input.h"
#include "columns/arrow_output.h"
#include "columns/engines.h"
#include "columns/table.h"
#include "fault.h"
#include "py/ref.h"
#include "py/runtime.h"

namespace quorvane::columns {
namespace {

using py::PyRef;

constexpr const char* kVersion = "0.1.1";

// The Table type, made once at initialisation.
py::ProcessRef g_table_type;

/// Releases the interpreter lock for its lifetime: only plain buffers may be touched
/// meanwhile, no Python object, no reference count.
class Unlocked {
 public:
  Unlocked() noexcept : state_(PyEval_SaveThread()) {}
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  ~Unlocked() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

unsigned worker_threads() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

// Texts of a column without nulls, as views (rules' fields must all be present).
bool texts_without_nulls(const TextColumn& column, const char* what,
                         std::vector<std::string_view>& out) {
  out.reserve(static_cast<std::size_t>(column.size()));
  std::int64_t first_null = -1;
  column.for_rows(0, column.size(), [&](std::int64_t row, std::optional<std::string_view> text) {
    if (!text && first_null < 0) first_null = row;
    out.push_back(text.value_or(std::string_view()));
  });
  if (first_null >= 0) {
    PyErr_Format(PyExc_ValueError, "%s: null in row %lld", what,
                 static_cast<long long>(first_null));
    return false;
  }
  return true;
}

// MARK: categorize

// Distinct texts in order of first sight, and each text's index among them.
void distinct(const std::vector<std::string_view>& texts, std::vector<std::string_view>& values,
              std::vector<std::int32_t>& index) {
  std::unordered_map<std::string_view, std::int32_t> seen;
  index.reserve(texts.size());
  for (std::string_view text : texts) {
    auto [it, added] = seen.try_emplace(text, static_cast<std::int32_t>(values.size()));
    if (added) values.push_back(text);
    index.push_back(it->second);
  }
}

SharedTable categorize_table(const TextColumn& narrations,
                             const std::vector<std::string_view>& patterns,
                             const std::vector<std::string_view>& categories,
                             const std::vector<std::string_view>& merchants) {
  const std::int64_t rows = narrations.size();
  TableBuilder out({{"rule", ColumnKind::kInt32},
                    {"category", ColumnKind::kDictionary},
                    {"merchant", ColumnKind::kDictionary}});
  std::int32_t* rule = out.int32s(0, rows);
  categorize(narrations, patterns, rule, worker_threads());

  // Category and merchant are indices into the rules' distinct texts, so the three
  // columns take 12 bytes a row and no text is copied per row.
  const std::vector<std::string_view>* labels[2] = {&categories, &merchants};
  std::vector<std::int32_t> index_of_rule[2];
  for (std::int64_t c = 0; c < 2; ++c) {
    std::vector<std::string_view> values;
    distinct(*labels[c], values, index_of_rule[c]);
    for (std::string_view v : values) append_text(out.dictionary(c + 1), v);
  }
  std::int32_t* category = out.int32s(1, rows);
  std::int32_t* merchant = out.int32s(2, rows);
  std::uint8_t* valid[3] = {out.validity(0, rows), out.validity(1, rows), out.validity(2, rows)};
  std::int64_t nulls = 0;
  for (std::int64_t i = 0; i < rows; ++i) {
    std::int32_t r = rule[i];
    if (r < 0) {
      ++nulls;
      rule[i] = category[i] = merchant[i] = 0;
      continue;
    }
    category[i] = index_of_rule[0][static_cast<std::size_t>(r)];
    merchant[i] = index_of_rule[1][static_cast<std::size_t>(r)];
    auto bit = static_cast<std::uint8_t>(1U << (i & 7));
    for (std::uint8_t* v : valid) v[i >> 3] = static_cast<std::uint8_t>(v[i >> 3] | bit);
  }
  for (std::int64_t c = 0; c < 3; ++c) out.set_filled(c, rows, nulls);
  return out.finish(rows);
}

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
  TextColumn rule_fields[3];
  if (!inputs.text(narrations_arg, "narrations", narrations) ||
      !inputs.text(pattern_arg, "pattern", rule_fields[0]) ||
      !inputs.text(category_arg, "category", rule_fields[1]) ||
      !inputs.text(merchant_arg, "merchant", rule_fields[2])) {
    return nullptr;
  }
  std::vector<std::string_view> patterns, categories, merchants;
  if (!texts_without_nulls(rule_fields[0], "pattern", patterns) ||
      !texts_without_nulls(rule_fields[1], "category", categories) ||
      !texts_without_nulls(rule_fields[2], "merchant", merchants)) {
    return nullptr;
  }
  if (categories.size() != patterns.size() || merchants.size() != patterns.size()) {
    PyErr_SetString(PyExc_ValueError, "rules: pattern, category and merchant differ in length");
    return nullptr;
  }
  if (patterns.size() >= static_cast<std::size_t>(INT32_MAX)) {
    PyErr_SetString(PyExc_ValueError, "rules: too many rules");
    return nullptr;
  }
  SharedTable table;
  {
    Unlocked unlocked;
    table = categorize_table(narrations, patterns, categories, merchants);
  }
  return wrap_table(g_table_type.get(), std::move(table)).release();
}

// MARK: derive

// The first null row of a column, or -1.
std::int64_t first_null(const TextColumn& column) {
  std::int64_t base = 0;
  for (const TextChunk& chunk : column.chunks) {
    if (chunk.validity != nullptr) {
      for (std::int64_t r = 0; r < chunk.length; ++r) {
        if (chunk.is_null(r)) return base + r;
      }
    }
    base += chunk.length;
  }
  return -1;
}

SharedTable rules_table(const std::vector<categorizer::CategoryRule>& rules) {
  TableBuilder out({{"pattern", ColumnKind::kText},
                    {"category", ColumnKind::kText},
                    {"merchant", ColumnKind::kText}});
  for (const categorizer::CategoryRule& rule : rules) {
    append_text(out.column(0), rule.pattern);
    append_text(out.column(1), rule.category);
    append_text(out.column(2), rule.merchant);
  }
  return out.finish(static_cast<std::int64_t>(rules.size()));
}

PyObject* derive_entry(PyObject* args) {
  PyObject* sources[3];
  if (!PyArg_ParseTuple(args, "OOO:derive", &sources[0], &sources[1], &sources[2])) {
    return nullptr;
  }
  static constexpr const char* kNames[3] = {"narrations", "categories", "merchants"};
  Inputs inputs;
  TextColumn columns[3];
  for (int c = 0; c < 3; ++c) {
    if (!inputs.text(sources[c], kNames[c], columns[c])) return nullptr;
  }
  for (int c = 0; c < 3; ++c) {
    if (columns[c].size() != columns[0].size()) {
      PyErr_Format(PyExc_ValueError, "%s: %lld rows, but narrations has %lld", kNames[c],
                   static_cast<long long>(columns[c].size()),
                   static_cast<long long>(columns[0].size()));
      return nullptr;
    }
    std::int64_t row = first_null(columns[c]);
    if (row >= 0) {
      PyErr_Format(PyExc_ValueError, "%s: null in row %lld", kNames[c],
                   static_cast<long long>(row));
      return nullptr;
    }
  }
  SharedTable table;
  {
    Unlocked unlocked;
    auto derived = categorizer::derive_rules(examples(columns[0], columns[1], columns[2]));
    QV_ASSERT(static_cast<bool>(derived), "derivation never fails");
    table = rules_table(derived.value().rules);
  }
  return wrap_table(g_table_type.get(), std::move(table)).release();
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

PyMethodDef g_functions[] = {
    {"derive", derive_function, METH_VARARGS,
     "derive(narrations, categories, merchants)\n--\n\n"
     "Rules learnt from labelled examples: a Table of pattern, category, merchant."},
    {"categorize", categorize_function, METH_VARARGS,
     "categorize(narrations, pattern, category, merchant)\n--\n\n"
     "Each narration's first matching rule: a Table of rule, category, merchant."},
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
  if (!g_table_type) {
    PyRef type = make_table_type(module.get());
    if (!type) return nullptr;
    g_table_type.keep(std::move(type));
  }
  PyRef type = PyRef::borrow(g_table_type.get());
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
