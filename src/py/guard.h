// py/guard.h: the guard around every call from Python into native code, shared by both
// modules: a C++ exception never crosses into the interpreter.
#pragma once

#include <Python.h>

#include <exception>  // std::exception
#include <new>        // std::bad_alloc
#include <source_location>
#include <stdexcept>  // std::length_error
#include <type_traits>

#include "fault.h"

namespace quorvane::py {

/// Writes the report of an internal fault to standard error: the module, where the fault
/// was found and its message.
void report_fault(const char* module, const std::source_location& where, const char* what);

/// Raises PanicException with `message` as its one argument, after clearing any pending
/// exception.
void raise_panic(const char* message);

/// Runs `body()` and returns what it returns. A C++ exception escaping it becomes a
/// Python one: std::bad_alloc is MemoryError, std::length_error (a size past what a
/// result can hold) OverflowError with its message; anything else is a broken invariant,
/// reported on standard error under `module`'s name and raised as PanicException. The
/// result is then the failure value of the body's type: null, or -1.
template <class Body>
auto guard(const char* module, Body&& body) noexcept -> decltype(body()) {
  using Out = decltype(body());
  static_assert(std::is_pointer_v<Out> || std::is_integral_v<Out>, "null or -1 says it failed");
  const Out failed = [] {
    if constexpr (std::is_pointer_v<Out>) {
      return Out{nullptr};
    } else {
      return Out{-1};
    }
  }();
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    PyErr_NoMemory();
  } catch (const std::length_error& e) {  // a size past what a result can hold
    PyErr_Clear();
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const InternalFault& fault) {
    report_fault(module, fault.where(), fault.what());
    raise_panic(fault.what());
  } catch (const std::exception& e) {
    report_fault(module, std::source_location::current(), e.what());
    raise_panic(e.what());
  } catch (...) {
    report_fault(module, std::source_location::current(), "unknown exception");
    raise_panic("unknown exception");
  }
  return failed;
}

}  // namespace quorvane::py
