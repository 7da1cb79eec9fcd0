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

#include "decode_failure.h"
#include "py/ref.h"
#include "py/runtime.h"
#include "record.h"
#include "result.h"

namespace quorvane::py {

/// Collects the first decoding failure; every decoding step returns false after it.
class Decoder {
 public:
  bool fail(DecodeFault kind, std::string subject = {}, std::string_view expected = {}) {
    failure_.kind = kind;
    failure_.subject = std::move(subject);
    failure_.expected = expected;
    return false;
  }
  /// Fails with the text of the pending Python exception, which it clears. One that
  /// passes (see exception_passes) is also held, for restore_raised().
  bool fail_exception();
  /// Sets the exception a failure held again, as it was raised; false if it held none.
  /// A caller for which such a failure is no fault of the input (a row of a table, whose
  /// failure would be kept as that row's) stops the call with it instead.
  bool restore_raised();
  /// Fails because `object` is not of the kind `target` names (Mapping, Sequence, PyString).
  bool fail_type(PyObject* object, const char* target);
  /// The failure recorded, for a caller to add where it happened (see DecodeFailure).
  DecodeFailure& failure() noexcept { return failure_; }
  DecodeFailure take_failure() noexcept { return std::move(failure_); }

  /// The UTF-8 text of a str decoded earlier in this request, or null. Requests built in
  /// Python usually share their label objects (a category, a merchant) across many
  /// records; each is converted once.
  const std::string* seen_text(PyObject* str) const noexcept {
    if (seen_.empty()) return nullptr;
    const SeenText& seen = seen_[slot(str)];
    return seen.object.get() == str ? &seen.text : nullptr;
  }
  /// Remembers the text of a short str (a longer one is rarely repeated), once the
  /// request has shown itself large enough to be worth it. Only exact str objects are
  /// remembered: forgetting one may drop its last reference, and freeing an exact str
  /// runs no Python code, where a subclass's finaliser could run in the middle of a read.
  void remember_text(PyObject* str, const std::string& text) {
    if (text.size() > kMaxRememberedBytes || !PyUnicode_CheckExact(str)) return;
    if (seen_.empty()) {
      if (++texts_ < kSeenSlots) return;
      seen_.resize(kSeenSlots);
    }
    SeenText& seen = seen_[slot(str)];
    seen.object = PyRef::borrow(str);  // held, so that no other object takes its address
    seen.text = text;
  }

 private:
  struct SeenText {
    PyRef object;
    std::string text;
  };
  static constexpr std::size_t kSeenSlots = 4096;
  static constexpr std::size_t kMaxRememberedBytes = 32;
  static std::size_t slot(PyObject* str) noexcept {
    return (reinterpret_cast<std::uintptr_t>(str) >> 4) % kSeenSlots;
  }

  DecodeFailure failure_;
  std::array<PyRef, 3> raised_;  // type, value and traceback of an exception that passes
  std::size_t texts_ = 0;        // short texts decoded before remembering started
  std::vector<SeenText> seen_;   // kSeenSlots, made once kSeenSlots short texts were decoded
};

namespace detail {

bool decode_text(Decoder& d, PyObject* object, std::string& out);
bool decode_f64(Decoder& d, PyObject* object, double& out);
bool decode_u32(Decoder& d, PyObject* object, std::uint32_t& out);
bool decode_u64(Decoder& d, PyObject* object, std::uint64_t& out);
/// Returns the index of the variant named, or -1.
int decode_variant(Decoder& d, PyObject* object, const std::string_view* names, std::size_t count);
bool is_mapping(PyObject* object);
bool is_sequence(PyObject* object);

/// A dict's entries in order, read in one go (iterating a dict runs no Python code):
/// for each, the field its key names (kOther for none, kNotText for a key that is not a
/// str) and, for fields only, a strong reference to the value. Values under other keys
/// are not touched at all.
class DictFields {
 public:
  static constexpr int kOther = -1;
  static constexpr int kNotText = -2;

  /// Reads the entries of `dict` and holds the fields' values; false with a Python
  /// exception set if comparing a key fails.
  bool read(PyObject* dict, PyObject* const* names, std::size_t count) {
    return peek(dict, names, count) && (hold(), true);
  }
  /// Reads the entries without holding the values yet, only asking for them to be
  /// loaded. Until hold(), no Python code may run: the values are borrowed from the dict,
  /// which the caller keeps. Nothing may be held from an earlier read (see clear()).
  bool peek(PyObject* dict, PyObject* const* names, std::size_t count);
  /// Takes strong references to the fields' values.
  void hold();
  /// Forgets the entries and releases the values held. Releasing a value may run Python
  /// code unless the dict still holds it.
  void clear() noexcept {
    if (size_ == 0) return;
    Entry* all = entries();
    for (std::size_t i = 0; i < size_; ++i) all[i].value.reset();
    spill_.clear();
    size_ = 0;
  }

  std::size_t size() const noexcept { return size_; }
  int field(std::size_t i) const noexcept { return entry(i).field; }
  PyObject* value(std::size_t i) const noexcept { return entry(i).value.get(); }

 private:
  struct Entry {
    int field = kOther;
    PyObject* borrowed = nullptr;
    PyRef value;
  };
  static constexpr std::size_t kInline = 8;
  const Entry& entry(std::size_t i) const noexcept {
    return spill_.empty() ? inline_[i] : spill_[i];
  }
  Entry* entries() noexcept { return spill_.empty() ? inline_.data() : spill_.data(); }

  std::size_t size_ = 0;
  std::array<Entry, kInline> inline_;  // the usual handful of keys
  std::vector<Entry> spill_;
};

/// The items of any other mapping, read position by position through its keys() and
/// values(), which may run Python code.
class MappingItems {
 public:
  bool open(Decoder& d, PyObject* mapping);
  Py_ssize_t size() const noexcept { return size_; }
  bool key(Decoder& d, Py_ssize_t i, PyRef& out);
  bool value(Decoder& d, Py_ssize_t i, PyRef& out);

 private:
  Py_ssize_t size_ = 0;
  PyRef keys_;
  PyRef values_;
};

/// Index of the field whose name equals `key` (a str), -1 for none, -2 on error.
int match_key(PyObject* key, PyObject* const* names, std::size_t count);

}  // namespace detail

template <class T>
bool decode_value(Decoder& d, PyObject* object, T& out);

/// Decodes a record from a mapping. `read` may hold the entries of `object`, a dict,
/// already read.
template <record::RecordType R>
bool decode_record(Decoder& d, PyObject* object, R& out, detail::DictFields* read = nullptr) {
  constexpr std::size_t kCount = record::kFieldCount<R>;
  if (read == nullptr && !detail::is_mapping(object)) return d.fail_type(object, "Mapping");
  PyObject* const* names = field_keys<R>();
  if (names == nullptr) return d.fail_exception();

  std::array<bool, kCount> seen{};
  // A key may name its field only once; a repeat fails before its value is read.
  auto repeated = [&](int index) {
    auto i = static_cast<std::size_t>(index);
    if (!seen[i]) return false;
    d.fail(DecodeFault::kDuplicateField, std::string(record::kFieldNames<R>[i]));
    d.failure().in_field(record::kFieldNames<R>[i]);
    return true;
  };
  // Decodes the value of the field at `index`.
  auto take = [&](int index, PyObject* value) {
    if (repeated(index)) return false;
    auto i = static_cast<std::size_t>(index);
    seen[i] = true;
    bool decoded = record::with_field<R>(
        i, [&](const auto& field) { return decode_value(d, value, out.*field.member); });
    return decoded || d.failure().in_field(record::kFieldNames<R>[i]);
  };

  if (read != nullptr || PyDict_CheckExact(object)) {
    detail::DictFields own;
    detail::DictFields& fields = read != nullptr ? *read : own;
    if (read == nullptr && !fields.read(object, names, kCount)) return d.fail_exception();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      int index = fields.field(i);
      if (index == detail::DictFields::kNotText) return d.fail(DecodeFault::kKeyNotText);
      if (index != detail::DictFields::kOther && !take(index, fields.value(i))) return false;
    }
  } else {
    detail::MappingItems items;
    if (!items.open(d, object)) return false;
    for (Py_ssize_t i = 0; i < items.size(); ++i) {
      PyRef key;
      if (!items.key(d, i, key)) return false;
      if (!PyUnicode_Check(key.get())) return d.fail(DecodeFault::kKeyNotText);
      int index = detail::match_key(key.get(), names, kCount);
      if (index == -2) return d.fail_exception();
      if (index >= 0 && repeated(index)) return false;
      PyRef value;
      if (!items.value(d, i, value)) return false;
      if (index >= 0 && !take(index, value.get())) return false;
    }
  }
  for (std::size_t i = 0; i < kCount; ++i) {
    if (!seen[i] && record::kPresence<R>[i] == record::Presence::kRequired) {
      return d.fail(DecodeFault::kMissingField, std::string(record::kFieldNames<R>[i]));
    }
  }
  return true;
}

template <class T>
inline constexpr bool kTextOnly = false;
template <record::RecordType R>
inline constexpr bool kTextOnly<R> = std::apply(
    [](const auto&... field) {
      return (std::is_same_v<typename std::decay_t<decltype(field)>::Type, std::string> && ...);
    },
    record::Schema<R>::fields);

/// Decodes a list or tuple of records whose fields are all texts. Those run no Python
/// code while they are decoded, so the entries of each dict can be read a few elements
/// ahead: a dict's entries and values lie far apart in memory, and reading ahead lets
/// their loads overlap the work on the elements before.
///
/// What is read ahead is borrowed, so it stays valid only while no Python code runs.
/// Code runs when an element that is not a plain dict is decoded, and whenever a
/// reference goes that was the last one (a finaliser). So every reference the loop drops
/// is one the sequence or a dict still holds, except right after such an element: then
/// everything is released first, and only then read again.
template <record::RecordType R>
bool decode_text_records(Decoder& d, PyObject* sequence, bool is_list, std::vector<R>& out) {
  constexpr Py_ssize_t kAhead = 4;
  PyObject* const* names = field_keys<R>();
  if (names == nullptr) return d.fail_exception();
  auto item = [&](Py_ssize_t i) -> PyObject* {  // borrowed; null past the end
    Py_ssize_t size = is_list ? PyList_Size(sequence) : PyTuple_Size(sequence);
    if (i >= size) return nullptr;
    return is_list ? PyList_GetItem(sequence, i) : PyTuple_GetItem(sequence, i);
  };
  std::array<detail::DictFields, kAhead> ahead;
  std::array<PyRef, kAhead> held;  // the dict each entry of `ahead` was read from
  // Reads element i ahead into its slot, whose values were released already. The slot's
  // dict, if any, was decoded and is still in the sequence, so releasing it runs no code.
  auto read_ahead = [&](Py_ssize_t i) {
    if (PyObject* next = item(i + 2 * kAhead)) __builtin_prefetch(next);
    PyObject* element = item(i);
    auto slot = static_cast<std::size_t>(i % kAhead);
    held[slot].reset();
    if (element == nullptr || !PyDict_CheckExact(element)) return;
    if (!ahead[slot].peek(element, names, record::kFieldCount<R>)) {
      ahead[slot].clear();
      PyErr_Clear();  // read again below, where the failure is reported
      return;
    }
    held[slot] = PyRef::borrow(element);
  };

  Py_ssize_t size = is_list ? PyList_Size(sequence) : PyTuple_Size(sequence);
  out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < kAhead; ++i) read_ahead(i);
  for (Py_ssize_t i = 0; i < size; ++i) {
    // Python code run while an element is read may shrink the sequence: that is an
    // IndexError here, as reading by index reports it.
    auto element =
        PyRef::borrow(is_list ? PyList_GetItem(sequence, i) : PyTuple_GetItem(sequence, i));
    if (!element) return d.fail_exception();
    auto slot = static_cast<std::size_t>(i % kAhead);
    bool was_read = held[slot].get() == element.get();
    if (was_read) ahead[slot].hold();
    bool decoded =
        decode_record(d, element.get(), out.emplace_back(), was_read ? &ahead[slot] : nullptr);
    if (!decoded) return d.failure().at_index(static_cast<std::size_t>(i));
    if (was_read) {
      ahead[slot].clear();  // the dict still holds these values
      read_ahead(i + kAhead);
      continue;
    }
    // Not a dict: reading it may have run Python code, which may have changed or dropped
    // anything read ahead. Release it all (finalisers may run now), then read again.
    element.reset();
    for (std::size_t k = 0; k < kAhead; ++k) {
      ahead[k].clear();
      held[k].reset();
    }
    for (Py_ssize_t k = 1; k <= kAhead; ++k) read_ahead(i + k);
  }
  return true;
}

template <class T>
bool decode_list(Decoder& d, PyObject* object, std::vector<T>& out) {
  if (!detail::is_sequence(object)) return d.fail_type(object, "Sequence");
  bool is_list = PyList_CheckExact(object);
  bool is_tuple = PyTuple_CheckExact(object);
  if constexpr (kTextOnly<T>) {
    if (is_list || is_tuple) return decode_text_records(d, object, is_list, out);
  }
  Py_ssize_t size = PySequence_Size(object);
  if (size < 0) return d.fail_exception();
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
    if (!decode_value(d, element.get(), out.emplace_back())) {
      return d.failure().at_index(static_cast<std::size_t>(i));
    }
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
  } else if constexpr (std::is_same_v<T, std::uint64_t>) {
    return detail::decode_u64(d, object, out);
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
    if (!parsed) return d.fail(DecodeFault::kBadText, parsed.error());
    out = std::move(parsed).value();
    return true;
  } else {
    static_assert(sizeof(T) == 0, "this type cannot be decoded from Python objects");
  }
}

/// Decodes a request record from a borrowed object, which is only read.
template <record::RecordType R>
Result<R, DecodeFailure> decode_request(PyObject* object) {
  Decoder d;
  R out{};
  if (!decode_record(d, object, out)) return d.take_failure();
  return out;
}

}  // namespace quorvane::py
