// py/encode.h: building Python objects from result records, from their declarations.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <type_traits>

#include "py/ref.h"
#include "py/runtime.h"
#include "record.h"

namespace quorvane::py {

/// Builds a new object for `value`; an empty PyRef with a Python exception set when the
/// interpreter cannot make one. Whatever was built before a failure is released.
template <class T>
PyRef encode_value(const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    return PyRef::steal(
        PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
  } else if constexpr (std::is_same_v<T, double>) {
    return PyRef::steal(PyFloat_FromDouble(value));
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    return PyRef::steal(PyLong_FromLongLong(static_cast<long long>(value)));
  } else if constexpr (std::is_integral_v<T>) {
    return PyRef::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
  } else if constexpr (record::IsOptional<T>::value) {
    return value ? encode_value(*value) : PyRef::borrow(Py_None);
  } else if constexpr (record::IsVector<T>::value || record::IsArray<T>::value) {
    auto list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
    if (!list) return list;
    Py_ssize_t i = 0;
    for (const auto& element : value) {
      PyRef item = encode_value(element);
      if (!item) return item;
      PyList_SetItem(list.get(), i++, item.release());  // steals the item
    }
    return list;
  } else if constexpr (record::RecordType<T>) {
    PyObject* const* keys = field_keys<T>();
    if (keys == nullptr) return {};
    auto dict = PyRef::steal(PyDict_New());
    if (!dict) return dict;
    std::size_t index = 0;
    bool ok = record::all_fields<T>([&](const auto& field) {
      PyObject* key = keys[index++];
      const auto& member = value.*field.member;
      if constexpr (record::IsOptional<std::decay_t<decltype(member)>>::value) {
        if (field.presence == record::Presence::kOmittedWhenAbsent && !member) return true;
      }
      PyRef item = encode_value(member);
      return item && PyDict_SetItem(dict.get(), key, item.get()) == 0;
    });
    return ok ? std::move(dict) : PyRef{};
  } else if constexpr (record::EnumType<T>) {
    std::string_view name = record::variant_name(value);
    return PyRef::steal(
        PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  } else if constexpr (record::TextType<T>) {
    std::string text;
    record::TextForm<T>::format(value, text);
    return encode_value(text);
  } else {
    static_assert(sizeof(T) == 0, "this type cannot be encoded as Python objects");
  }
}

}  // namespace quorvane::py
