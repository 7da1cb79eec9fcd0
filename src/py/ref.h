// py/ref.h: owned Python references.
#pragma once

#include <Python.h>

#include <utility>

namespace quorvane::py {

/// Owns one strong reference, or none, and releases it when it goes.
class PyRef {
 public:
  PyRef() noexcept = default;
  /// Takes over a new reference (possibly null, when the call that made it failed).
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  /// Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }

  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  /// Gives the reference away, to a function that steals it or to the interpreter.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept { Py_XDECREF(std::exchange(p_, nullptr)); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

/// A reference kept for the life of the process and never released: process-wide
/// objects are still in use when static destructors run after the interpreter is gone.
class ProcessRef {
 public:
  constexpr ProcessRef() noexcept = default;
  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  /// Keeps the reference held by `ref`.
  void keep(PyRef ref) noexcept { p_ = ref.release(); }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace quorvane::py
