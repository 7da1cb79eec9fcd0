// columns/arrow.h: owners of C Data Interface structures, each released exactly once.
#pragma once

#include <nanoarrow/nanoarrow.h>

#include <cstdint>
#include <memory>
#include <utility>

namespace quorvane::columns {

/// Owns one ArrowSchema, ArrowArray or ArrowArrayStream: calls its `release` once, when
/// the owner goes, unless the structure was moved out (its `release` is then null, as
/// the C Data Interface marks a released or moved structure).
template <class T>
class Owned {
 public:
  Owned() noexcept = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() {
    if (value_.release != nullptr) value_.release(&value_);
  }

  T* get() noexcept { return &value_; }
  const T* get() const noexcept { return &value_; }
  T* operator->() noexcept { return &value_; }
  const T* operator->() const noexcept { return &value_; }
  bool empty() const noexcept { return value_.release == nullptr; }
  /// Releases the structure now, if it is still held.
  void reset() noexcept {
    if (value_.release != nullptr) value_.release(&value_);
    value_.release = nullptr;
  }

  /// Takes over `*source` (a producer's structure); `source` is marked released.
  void take(T* source) noexcept {
    value_ = *source;
    source->release = nullptr;
  }
  /// Hands the structure over to `target`, which then owns it.
  void give(T* target) noexcept {
    *target = value_;
    value_.release = nullptr;
  }

 private:
  T value_{};
};

using OwnedSchema = Owned<ArrowSchema>;
using OwnedArray = Owned<ArrowArray>;
using OwnedStream = Owned<ArrowArrayStream>;

/// An ArrowArrayView with its children, freed when it goes.
class OwnedView {
 public:
  OwnedView() noexcept { ArrowArrayViewInitFromType(&view_, NANOARROW_TYPE_UNINITIALIZED); }
  OwnedView(const OwnedView&) = delete;
  OwnedView& operator=(const OwnedView&) = delete;
  ~OwnedView() { ArrowArrayViewReset(&view_); }

  ArrowArrayView* get() noexcept { return &view_; }

 private:
  ArrowArrayView view_{};
};

/// Arrays longer than this are refused before anything validates them: no array in
/// memory comes near it, and nanoarrow's validation multiplies offset plus length by
/// element widths up to 256 bits, which a forged length could make overflow.
inline constexpr std::int64_t kMaxArrayExtent = std::int64_t{1} << 48;

/// Whether `array`, its children and its dictionary each have a length and an offset
/// from 0 whose sum is at most kMaxArrayExtent (trees deeper than this module reads
/// are refused as well).
inline bool extents_in_range(const ArrowArray* array, int depth = 0) {
  if (array == nullptr) return true;
  if (depth > 16 || array->length < 0 || array->offset < 0 ||
      array->length > kMaxArrayExtent - array->offset ||
      (array->n_children > 0 && array->children == nullptr)) {
    return false;
  }
  for (std::int64_t i = 0; i < array->n_children; ++i) {
    if (!extents_in_range(array->children[i], depth + 1)) return false;
  }
  return extents_in_range(array->dictionary, depth + 1);
}

/// A table of one record batch: a struct schema and a struct array, owned together and
/// shared by every export of it.
struct Table {
  OwnedSchema schema;
  OwnedArray array;
};

using SharedTable = std::shared_ptr<const Table>;

}  // namespace quorvane::columns
