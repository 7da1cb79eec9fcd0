// py/decode.h: decoding Python request objects into records, from their declarations.
//
// Every object read is held by a strong reference for as long as it is used: keys(),
// __getitem__, __float__ and __index__ may run arbitrary Python code, which may even
// change the request while it is being read.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cat.h"
#include "py/ref.h"
#include "py/runtime.h"
#include "record.h"
#include "result.h"

namespace quorvane::py {

/// Collects the first decoding failure; every decoding step returns false after it.
class Decoder {
 public:
  bool fail(std::string message) {
    failure_ = std::move(message);
    return false;
  }
  /// Fails with the text of the pending Python exception, which it clears.
  bool fail_exception();
  /// Fails with "unexpected type: '<type>' object cannot be converted to '<target>'".
  bool fail_type(PyObject* object, const char* target);
  std::string take_failure() noexcept { return std::move(failure_); }

 private:
  std::string failure_;
};

namespace detail {

bool decode_text(Decoder& d, PyObject* object, std::string& out);
bool decode_f64(Decoder& d, PyObject* object, double& out);
bool decode_u32(Decoder& d, PyObject* object, std::uint32_t& out);
/// Returns the index of the variant named, or -1.
int decode_variant(Decoder& d, PyObject* object, const std::string_view* names, std::size_t count);
bool is_mapping(PyObject* object);
bool is_sequence(PyObject* object);

/// The items of a mapping, read position by position: a dict's items are taken at
/// once (that runs no Python code); any other mapping's come from its keys() and
/// values().
class MappingItems {
 public:
  bool open(Decoder& d, PyObject* mapping);
  Py_ssize_t size() const noexcept { return size_; }
  bool key(Decoder& d, Py_ssize_t i, PyRef& out);
  bool value(Decoder& d, Py_ssize_t i, PyRef& out);

 private:
  static constexpr std::size_t kInline = 8;
  Py_ssize_t size_ = 0;
  // A dict's snapshot: inline for the usual handful of keys.
  std::array<PyRef, 2 * kInline> inline_;
  std::vector<PyRef> spill_;
  bool is_dict_ = false;
  // Any other mapping.
  PyRef keys_;
  PyRef values_;

  PyRef* slot(Py_ssize_t i) {
    auto k = static_cast<std::size_t>(i);
    return spill_.empty() ? &inline_[k] : &spill_[k];
  }
};

/// Index of the field whose name equals `key` (a str), -1 for none, -2 on error.
int match_key(PyObject* key, PyObject* const* names, std::size_t count);

}  // namespace detail

template <class T>
bool decode_value(Decoder& d, PyObject* object, T& out);

template <record::RecordType R>
bool decode_record(Decoder& d, PyObject* object, R& out) {
  constexpr std::size_t kCount = record::kFieldCount<R>;
  if (!detail::is_mapping(object)) return d.fail_type(object, "Mapping");
  PyObject* const* names = field_keys<R>();
  if (names == nullptr) return d.fail_exception();

  detail::MappingItems items;
  if (!items.open(d, object)) return false;
  std::array<bool, kCount> seen{};
  for (Py_ssize_t i = 0; i < items.size(); ++i) {
    PyRef key;
    if (!items.key(d, i, key)) return false;
    if (!PyUnicode_Check(key.get())) return d.fail("dict keys must have type str");
    int index = detail::match_key(key.get(), names, kCount);
    if (index == -2) return d.fail_exception();
    if (index >= 0 && seen[static_cast<std::size_t>(index)]) {
      return d.fail(
          cat("duplicate field `", record::kFieldNames<R>[static_cast<std::size_t>(index)], "`"));
    }
    PyRef value;
    if (!items.value(d, i, value)) return false;
    if (index < 0) continue;  // not a field: the value is not looked at
    seen[static_cast<std::size_t>(index)] = true;
    bool ok = record::with_field<R>(static_cast<std::size_t>(index), [&](const auto& field) {
      return decode_value(d, value.get(), out.*field.member);
    });
    if (!ok) return false;
  }
  for (std::size_t i = 0; i < kCount; ++i) {
    if (!seen[i] && record::kPresence<R>[i] == record::Presence::kRequired) {
      return d.fail(cat("missing field `", record::kFieldNames<R>[i], "`"));
    }
  }
  return true;
}

template <class T>
bool decode_list(Decoder& d, PyObject* object, std::vector<T>& out) {
  if (!detail::is_sequence(object)) return d.fail_type(object, "Sequence");
  Py_ssize_t size = PySequence_Size(object);
  if (size < 0) return d.fail_exception();
  bool is_list = PyList_CheckExact(object);
  bool is_tuple = PyTuple_CheckExact(object);
  // Only a real list or tuple vouches for its length in memory.
  if (is_list || is_tuple) out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef element;
    if (is_list) {
      // Borrowed from a list that Python code may change meanwhile: hold it at once.
      element = PyRef::borrow(PyList_GetItem(object, i));
    } else if (is_tuple) {
      element = PyRef::borrow(PyTuple_GetItem(object, i));
    } else {
      element = PyRef::steal(PySequence_GetItem(object, i));
    }
    if (!element) return d.fail_exception();
    if (!decode_value(d, element.get(), out.emplace_back())) return false;
  }
  return true;
}

template <class T>
bool decode_value(Decoder& d, PyObject* object, T& out) {
  if constexpr (std::is_same_v<T, std::string>) {
    return detail::decode_text(d, object, out);
  } else if constexpr (std::is_same_v<T, double>) {
    return detail::decode_f64(d, object, out);
  } else if constexpr (std::is_same_v<T, std::uint32_t>) {
    return detail::decode_u32(d, object, out);
  } else if constexpr (record::IsOptional<T>::value) {
    if (object == Py_None) {
      out.reset();
      return true;
    }
    return decode_value(d, object, out.emplace());
  } else if constexpr (record::IsVector<T>::value) {
    return decode_list(d, object, out);
  } else if constexpr (record::RecordType<T>) {
    return decode_record(d, object, out);
  } else if constexpr (record::EnumType<T>) {
    const auto& names = record::EnumSchema<T>::names;
    int index = detail::decode_variant(d, object, names.data(), names.size());
    if (index < 0) return false;
    out = static_cast<T>(index);
    return true;
  } else if constexpr (record::TextType<T>) {
    std::string text;
    if (!detail::decode_text(d, object, text)) return false;
    auto parsed = record::TextForm<T>::parse(text);
    if (!parsed) return d.fail(parsed.error());
    out = std::move(parsed).value();
    return true;
  } else {
    static_assert(sizeof(T) == 0, "this type cannot be decoded from Python objects");
  }
}

/// Decodes a request record from a borrowed object, which is only read.
template <record::RecordType R>
Result<R, std::string> decode_request(PyObject* object) {
  Decoder d;
  R out{};
  if (!decode_record(d, object, out)) return d.take_failure();
  return out;
}

}  // namespace quorvane::py
