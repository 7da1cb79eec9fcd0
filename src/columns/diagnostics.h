// columns/diagnostics.h: the rule-set diagnostics of quorvane_columns._native, each
// taking its positional arguments as a tuple; the module's method table lists them.
#pragma once

#include <Python.h>

namespace quorvane::columns {

/// explain(narrations, pattern, category, merchant) -> Table of rule, start, end, matched.
PyObject* explain_entry(PyObject* args);

/// lint(pattern, category, merchant) -> Table of rule, kind, by, message.
PyObject* lint_entry(PyObject* args);

/// evaluate(narrations, categories, merchants, pattern, category, merchant) -> a tuple of
/// Tables: per_rule, per_category, summary.
PyObject* evaluate_entry(PyObject* args);

/// unmatched(narrations, pattern, category, merchant, top) -> Table of word, count,
/// examples.
PyObject* unmatched_entry(PyObject* args);

}  // namespace quorvane::columns
