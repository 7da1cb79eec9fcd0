// entry.h: the six module functions, each taking one argument by position or keyword.
#pragma once

#include <Python.h>

namespace quorvane::entry {

PyObject* compute_emi(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* compute_emi_json(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* categorize_transactions(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* categorize_transactions_json(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* derive_rules(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* derive_rules_json(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quorvane::entry
