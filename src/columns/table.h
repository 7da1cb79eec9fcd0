// columns/table.h: the native result object, a table that exports the Arrow PyCapsule
// interface.
#pragma once

#include <Python.h>

#include "columns/arrow.h"
#include "py/ref.h"

namespace quorvane::columns {

/// Creates the `Table` type; call once, at module initialisation. Null with an exception
/// set on failure.
py::PyRef make_table_type(PyObject* module);

/// A new Table object over `table` (shared with every export of it), or null with an
/// exception set.
py::PyRef wrap_table(PyObject* type, SharedTable table);

}  // namespace quorvane::columns
