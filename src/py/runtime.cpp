// py/runtime.cpp: process-wide Python objects, made at first use under the interpreter lock.
#include "py/runtime.h"

namespace quorvane::py {
namespace {

constexpr const char* kPanicDoc =
    "Raised when the native code of quorvane fails internally (a broken invariant, not a\n"
    "bad request).\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that an\n"
    "`except Exception` clause does not swallow it: it typically propagates all the way\n"
    "up and ends the interpreter.";

ProcessRef g_mapping;
ProcessRef g_sequence;
ProcessRef g_panic;

PyObject* abc_class(ProcessRef& slot, const char* name) {
  if (!slot) {
    auto module = PyRef::steal(PyImport_ImportModule("collections.abc"));
    if (!module) return nullptr;
    auto cls = PyRef::steal(PyObject_GetAttrString(module.get(), name));
    if (!cls) return nullptr;
    slot.keep(std::move(cls));
  }
  return slot.get();
}

}  // namespace

PyObject* mapping_abc() { return abc_class(g_mapping, "Mapping"); }

PyObject* sequence_abc() { return abc_class(g_sequence, "Sequence"); }

PyObject* panic_exception() {
  if (!g_panic) {
    auto cls = PyRef::steal(PyErr_NewExceptionWithDoc("quorvane.PanicException", kPanicDoc,
                                                      PyExc_BaseException, nullptr));
    if (!cls) return nullptr;
    g_panic.keep(std::move(cls));
  }
  return g_panic.get();
}

PyRef intern(std::string_view text) {
  PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (str != nullptr) PyUnicode_InternInPlace(&str);
  return PyRef::steal(str);
}

PyObject* name(Name which) {
  static constexpr std::string_view kTexts[] = {"add_note", "__notes__", "__qualname__",
                                                "__arrow_c_stream__", "__arrow_c_array__"};
  static ProcessRef names[std::size(kTexts)];
  ProcessRef& slot = names[static_cast<std::size_t>(which)];
  if (!slot) {
    PyRef str = intern(kTexts[static_cast<std::size_t>(which)]);
    if (!str) return nullptr;
    slot.keep(std::move(str));
  }
  return slot.get();
}

}  // namespace quorvane::py
