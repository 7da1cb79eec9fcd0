// py/failure.cpp: texts of Python-level failures met while converting requests and results.
#include "py/failure.h"

#include "cat.h"
#include "py/ref.h"
#include "py/runtime.h"

namespace quorvane::py {

std::string lossy_utf8(PyObject* str) {
  // "surrogatepass" turns each lone surrogate into its three-byte form, ED A0..BF xx,
  // which is not UTF-8; each such triple becomes one U+FFFD.
  auto bytes = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return "\xEF\xBF\xBD";
  }
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
    PyErr_Clear();
    return "\xEF\xBF\xBD";
  }
  std::string out;
  out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    auto c = static_cast<unsigned char>(data[i]);
    if (c == 0xED && i + 2 < size && static_cast<unsigned char>(data[i + 1]) >= 0xA0) {
      out += "\xEF\xBF\xBD";
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string type_name(PyObject* object) {
  PyObject* qualname = py::name(Name::kQualname);
  auto name =
      PyRef::steal(qualname == nullptr
                       ? nullptr
                       : PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), qualname));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return "?";
  }
  return lossy_utf8(name.get());
}

std::string take_exception_text() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  auto type_ref = PyRef::steal(type);
  auto value_ref = PyRef::steal(value);
  auto traceback_ref = PyRef::steal(traceback);
  if (!value_ref) return "SystemError: no exception was set";

  std::string text = cat(type_name(value_ref.get()), ": ");
  auto str = PyRef::steal(PyObject_Str(value_ref.get()));
  if (!str) {
    PyErr_Clear();
    return cat(text, "<exception str() failed>");
  }
  return cat(text, lossy_utf8(str.get()));
}

bool exception_passes() {
  return PyErr_ExceptionMatches(PyExc_MemoryError) != 0 ||
         PyErr_ExceptionMatches(PyExc_Exception) == 0;
}

}  // namespace quorvane::py
