// py/encode.h: building Python objects from result records, from their declarations.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>

#include "py/ref.h"
#include "py/runtime.h"
#include "record.h"

namespace quorvane::py {

namespace detail {

template <record::RecordType R>
inline constexpr std::size_t kOmittable = std::apply(
    [](const auto&... field) {
      return ((field.presence == record::Presence::kOmittedWhenAbsent ? 1u : 0u) + ... + 0u);
    },
    record::Schema<R>::fields);

/// A dict of R's keys in declared order, each mapped to None, without the keys of the
/// omitted-when-absent fields whose bits are set in `absent` (in declared order). A copy
/// is a dict already sized and ordered for the record, so filling it never resizes it.
/// Made once per process; null with an exception set if it cannot be made.
template <record::RecordType R>
PyObject* record_template(unsigned absent) {
  static std::array<ProcessRef, std::size_t{1} << kOmittable<R>> templates;
  ProcessRef& slot = templates[absent];
  if (!slot) {
    PyObject* const* keys = field_keys<R>();
    if (keys == nullptr) return nullptr;
    auto dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    unsigned bit = 1;
    for (std::size_t i = 0; i < record::kFieldCount<R>; ++i) {
      if (record::kPresence<R>[i] == record::Presence::kOmittedWhenAbsent) {
        bool left_out = (absent & bit) != 0;
        bit <<= 1;
        if (left_out) continue;
      }
      if (PyDict_SetItem(dict.get(), keys[i], Py_None) < 0) return nullptr;
    }
    slot.keep(std::move(dict));
  }
  return slot.get();
}

}  // namespace detail

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
    static_assert(detail::kOmittable<T> <= 4, "a few omitted-when-absent fields at most");
    unsigned absent = 0;
    unsigned bit = 1;
    record::all_fields<T>([&](const auto& field) {
      if constexpr (record::IsOptional<typename std::decay_t<decltype(field)>::Type>::value) {
        if (field.presence == record::Presence::kOmittedWhenAbsent) {
          if (!(value.*field.member)) absent |= bit;
          bit <<= 1;
        }
      }
      return true;
    });
    PyObject* shape = detail::record_template<T>(absent);
    if (shape == nullptr) return {};
    auto dict = PyRef::steal(PyDict_Copy(shape));
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
