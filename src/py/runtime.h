// py/runtime.h: process-wide Python objects, made at first use under the interpreter lock.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

#include "py/ref.h"
#include "record.h"

namespace quorvane::py {

/// collections.abc.Mapping (borrowed), or null with an exception set.
PyObject* mapping_abc();
/// collections.abc.Sequence (borrowed), or null with an exception set.
PyObject* sequence_abc();
/// The PanicException class (borrowed), or null with an exception set.
PyObject* panic_exception();

/// A new interned str, or null with an exception set.
PyRef intern(std::string_view text);

/// Attribute names the module looks up, as interned str objects made once.
enum class Name { kAddNote, kNotes, kQualname, kArrowCStream, kArrowCArray };
/// The interned name (borrowed), or null with an exception set. Looking an attribute up
/// by a C string makes a new str each time, and CPython's attribute cache, keyed by the
/// name object, then keeps thousands of equal copies alive.
PyObject* name(Name which);

/// The field names of R as interned str objects, shared by decoding and encoding so
/// that each key string is made once per process; null with an exception set if they
/// cannot be made.
template <record::RecordType R>
PyObject* const* field_keys() {
  static std::array<ProcessRef, record::kFieldCount<R>> keys;
  static std::array<PyObject*, record::kFieldCount<R>> raw{};
  static bool ready = false;
  if (!ready) {
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (keys[i]) continue;
      PyRef key = intern(record::kFieldNames<R>[i]);
      if (!key) return nullptr;
      keys[i].keep(std::move(key));
      raw[i] = keys[i].get();
    }
    ready = true;
  }
  return raw.data();
}

}  // namespace quorvane::py
