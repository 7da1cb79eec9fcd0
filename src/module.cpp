// module.cpp: PyInit_quorvane, the module's attributes and its function table.
#include <Python.h>

#include <cstdio>     // std::fprintf
#include <exception>  // std::exception
#include <new>        // std::bad_alloc

#include "entry.h"
#include "py/ref.h"
#include "py/runtime.h"

namespace quorvane {
namespace {

using py::PyRef;

// The project's version, given by the build (pyproject.toml holds it).
constexpr const char* kVersion = QV_VERSION;

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
constexpr PyCFunction as_cfunction() {
  // The interpreter calls METH_VARARGS | METH_KEYWORDS functions with three arguments;
  // the table's type only has room for two.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// Each documentation text is a signature line, "--" and an empty body, which gives the
// function its __text_signature__.
PyMethodDef g_functions[] = {
    {"compute_emi", as_cfunction<entry::compute_emi>(), METH_VARARGS | METH_KEYWORDS,
     "compute_emi(request)\n--\n\n"},
    {"compute_emi_json", as_cfunction<entry::compute_emi_json>(), METH_VARARGS | METH_KEYWORDS,
     "compute_emi_json(request_json)\n--\n\n"},
    {"categorize_transactions", as_cfunction<entry::categorize_transactions>(),
     METH_VARARGS | METH_KEYWORDS, "categorize_transactions(request)\n--\n\n"},
    {"categorize_transactions_json", as_cfunction<entry::categorize_transactions_json>(),
     METH_VARARGS | METH_KEYWORDS, "categorize_transactions_json(request_json)\n--\n\n"},
    {"derive_rules", as_cfunction<entry::derive_rules>(), METH_VARARGS | METH_KEYWORDS,
     "derive_rules(request)\n--\n\n"},
    {"derive_rules_json", as_cfunction<entry::derive_rules_json>(), METH_VARARGS | METH_KEYWORDS,
     "derive_rules_json(request_json)\n--\n\n"},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "quorvane",
    "",       // docstring
    0,        // no per-module state
    nullptr,  // functions are added one by one below, each also listed in __all__
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module, once initialised; a second initialisation in the process is refused.
py::ProcessRef g_module;

// Sets module.<name> = value and appends name to module.__all__ (made if missing).
bool add_attribute(PyObject* module, const char* name, PyRef value) {
  if (!value) return false;
  PyRef all_name = py::intern("__all__");
  if (!all_name) return false;
  auto all = PyRef::steal(PyObject_GetAttr(module, all_name.get()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) return false;
  }
  PyRef key = py::intern(name);
  return key && PyList_Append(all.get(), key.get()) == 0 &&
         PyObject_SetAttr(module, key.get(), value.get()) == 0;
}

PyObject* initialise() {
  if (g_module) {
    PyErr_SetString(PyExc_ImportError,
                    "quorvane may be initialised only once per interpreter process");
    return nullptr;
  }
  auto module = PyRef::steal(PyModule_Create(&g_definition));
  if (!module) return nullptr;
  auto module_name = PyRef::steal(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  if (!add_attribute(module.get(), "__version__", PyRef::steal(PyUnicode_FromString(kVersion)))) {
    return nullptr;
  }
  for (PyMethodDef& def : g_functions) {
    auto function = PyRef::steal(PyCFunction_NewEx(&def, module.get(), module_name.get()));
    if (!add_attribute(module.get(), def.ml_name, std::move(function))) return nullptr;
  }
  g_module.keep(PyRef::borrow(module.get()));
  return module.release();
}

}  // namespace
}  // namespace quorvane

PyMODINIT_FUNC PyInit_quorvane(void) {
  try {
    return quorvane::initialise();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorvane: internal fault during initialisation: %s\n", e.what());
    PyErr_SetString(PyExc_ImportError, e.what());
    return nullptr;
  }
}
