// py/decode.cpp: the non-template parts of decoding Python request objects.
#include "py/decode.h"

#include <climits>  // LONG_MAX

#include "fault.h"
#include "py/failure.h"

namespace quorvane::py {

bool Decoder::fail_exception() {
  if (exception_passes()) {
    // Held for a caller that stops on it (restore_raised), and given back pending, so
    // that the failure's text is its text all the same.
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    raised_ = {PyRef::borrow(type), PyRef::borrow(value), PyRef::borrow(traceback)};
    PyErr_Restore(type, value, traceback);
  }
  return fail(DecodeFault::kInterpreter, take_exception_text());
}

bool Decoder::restore_raised() {
  if (!raised_[0]) return false;
  PyErr_Restore(raised_[0].release(), raised_[1].release(), raised_[2].release());
  return true;
}

bool Decoder::fail_type(PyObject* object, const char* target) {
  return fail(DecodeFault::kNotConvertible, type_name(object), target);
}

namespace detail {
namespace {

// isinstance(object, cls) for one of the collections.abc classes. A failing test is
// reported as unraisable and counts as false.
bool is_instance(PyObject* object, PyObject* (*cls)()) {
  PyObject* abc = cls();
  int result = abc == nullptr ? -1 : PyObject_IsInstance(object, abc);
  if (result < 0) {
    PyErr_WriteUnraisable(object);
    return false;
  }
  return result == 1;
}

}  // namespace

bool is_mapping(PyObject* object) {
  return PyDict_Check(object) || is_instance(object, mapping_abc);
}

bool is_sequence(PyObject* object) {
  return PyList_Check(object) || PyTuple_Check(object) || is_instance(object, sequence_abc);
}

bool decode_text(Decoder& d, PyObject* object, std::string& out) {
  if (!PyUnicode_Check(object)) return d.fail_type(object, "PyString");
  if (const std::string* seen = d.seen_text(object)) {
    out = *seen;
    return true;
  }
  auto bytes = PyRef::steal(PyUnicode_AsUTF8String(object));
  if (!bytes) return d.fail_exception();
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return d.fail_exception();
  out.assign(data, static_cast<std::size_t>(size));
  d.remember_text(object, out);
  return true;
}

bool decode_f64(Decoder& d, PyObject* object, double& out) {
  out = PyFloat_AsDouble(object);
  if (out == -1.0 && PyErr_Occurred()) return d.fail_exception();
  return true;
}

namespace {

// An integer from 0 to `max`, through __index__ as Python converts to a C long.
bool decode_unsigned(Decoder& d, PyObject* object, long max, long& out) {
  static_assert(sizeof(long) == 8, "a C long holds any signed 64-bit value");
  PyRef index;
  if (!PyLong_Check(object)) {
    index = PyRef::steal(PyNumber_Index(object));
    if (!index) return d.fail_exception();
    object = index.get();
  }
  out = PyLong_AsLong(object);
  if (out == -1 && PyErr_Occurred()) return d.fail_exception();
  if (out < 0 || out > max) return d.fail(DecodeFault::kU32OutOfRange);
  return true;
}

}  // namespace

bool decode_u32(Decoder& d, PyObject* object, std::uint32_t& out) {
  long value = 0;
  if (!decode_unsigned(d, object, static_cast<long>(UINT32_MAX), value)) return false;
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool decode_u64(Decoder& d, PyObject* object, std::uint64_t& out) {
  long value = 0;
  if (!decode_unsigned(d, object, LONG_MAX, value)) return false;
  out = static_cast<std::uint64_t>(value);
  return true;
}

int decode_variant(Decoder& d, PyObject* object, const std::string_view* names, std::size_t count) {
  PyRef name;
  if (PyDict_Check(object)) {
    if (PyDict_Size(object) != 1) return d.fail(DecodeFault::kEnumDictSize), -1;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (!PyDict_Next(object, &position, &key, &value)) {
      return d.fail(DecodeFault::kEnumDictSize), -1;
    }
    name = PyRef::borrow(key);
    if (!PyUnicode_Check(name.get())) return d.fail(DecodeFault::kKeyNotText), -1;
  } else if (PyUnicode_Check(object)) {
    name = PyRef::borrow(object);
  } else {
    return d.fail(DecodeFault::kEnumNotStrOrDict), -1;
  }
  std::string text;
  if (!decode_text(d, name.get(), text)) return -1;
  for (std::size_t i = 0; i < count; ++i) {
    if (names[i] == text) return static_cast<int>(i);
  }
  return d.fail(DecodeFault::kUnknownVariant, text, record::variant_list(names, count)), -1;
}

int match_key(PyObject* key, PyObject* const* names, std::size_t count) {
  // Keys written as literals are usually the very interned objects held here.
  for (std::size_t i = 0; i < count; ++i) {
    if (key == names[i]) return static_cast<int>(i);
  }
  for (std::size_t i = 0; i < count; ++i) {
    int order = PyUnicode_Compare(key, names[i]);
    if (order == 0) return static_cast<int>(i);
    if (order == -1 && PyErr_Occurred()) return -2;
  }
  return -1;
}

bool DictFields::peek(PyObject* dict, PyObject* const* names, std::size_t count) {
  QV_ASSERT(size_ == 0, "a dict read ahead was not cleared before the next");
  size_ = static_cast<std::size_t>(PyDict_Size(dict));
  if (size_ > kInline) spill_.resize(size_);
  Entry* all = entries();
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (std::size_t i = 0; i < size_ && PyDict_Next(dict, &position, &key, &value); ++i) {
    Entry& entry = all[i];
    entry.borrowed = nullptr;
    if (!PyUnicode_Check(key)) {
      entry.field = kNotText;
      continue;
    }
    entry.field = match_key(key, names, count);  // compares str data: no Python code runs
    if (entry.field == -2) return false;
    if (entry.field >= 0) {
      entry.borrowed = value;
      __builtin_prefetch(value, 1);
    }
  }
  return true;
}

void DictFields::hold() {
  Entry* all = entries();
  for (std::size_t i = 0; i < size_; ++i) {
    if (all[i].borrowed != nullptr) all[i].value = PyRef::borrow(all[i].borrowed);
  }
}

bool MappingItems::open(Decoder& d, PyObject* mapping) {
  size_ = PyMapping_Size(mapping);
  if (size_ < 0) return d.fail_exception();
  keys_ = PyRef::steal(PyMapping_Keys(mapping));
  if (!keys_) return d.fail_exception();
  values_ = PyRef::steal(PyMapping_Values(mapping));
  if (!values_) return d.fail_exception();
  return true;
}

bool MappingItems::key(Decoder& d, Py_ssize_t i, PyRef& out) {
  out = PyRef::steal(PySequence_GetItem(keys_.get(), i));
  return out ? true : d.fail_exception();
}

bool MappingItems::value(Decoder& d, Py_ssize_t i, PyRef& out) {
  out = PyRef::steal(PySequence_GetItem(values_.get(), i));
  return out ? true : d.fail_exception();
}

}  // namespace detail
}  // namespace quorvane::py
