// py/guard.cpp: reporting an internal fault and raising PanicException.
#include "py/guard.h"

#include <cstdio>   // std::fprintf
#include <cstring>  // std::strlen

#include "py/ref.h"
#include "py/runtime.h"

namespace quorvane::py {

void report_fault(const char* module, const std::source_location& where, const char* what) {
  std::fprintf(stderr, "%s: internal fault at %s:%u in %s: %s\n", module, where.file_name(),
               static_cast<unsigned>(where.line()), where.function_name(), what);
}

void raise_panic(const char* message) {
  PyErr_Clear();
  PyObject* panic = panic_exception();
  if (panic == nullptr) return;
  auto text = PyRef::steal(
      PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
  if (text) PyErr_SetObject(panic, text.get());
}

}  // namespace quorvane::py
