// columns/binding.cpp: what the module's entry files share.
#include "columns/binding.h"

#include <cstdint>
#include <thread>

#include "py/runtime.h"

namespace quorvane::columns {
namespace {

// The Table type, made once at initialisation.
py::ProcessRef g_table_type;

// The first null row of a column, or -1.
std::int64_t first_null(const TextColumn& column) {
  std::int64_t base = 0;
  for (const TextChunk& chunk : column.chunks) {
    if (chunk.validity != nullptr) {
      for (std::int64_t r = 0; r < chunk.length; ++r) {
        if (chunk.is_null(r)) return base + r;
      }
    }
    base += chunk.length;
  }
  return -1;
}

}  // namespace

PyObject* table_type() noexcept { return g_table_type.get(); }

bool make_table_type_once(PyObject* module) {
  if (g_table_type) return true;
  py::PyRef type = make_table_type(module);
  if (!type) return false;
  g_table_type.keep(std::move(type));
  return true;
}

unsigned worker_threads() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

bool check_no_nulls(const TextColumn& column, const char* what) {
  std::int64_t row = first_null(column);
  if (row < 0) return true;
  PyErr_Format(PyExc_ValueError, "%s: null in row %lld", what, static_cast<long long>(row));
  return false;
}

bool texts_without_nulls(const TextColumn& column, const char* what,
                         std::vector<std::string_view>& out) {
  if (!check_no_nulls(column, what)) return false;
  out.reserve(static_cast<std::size_t>(column.size()));
  column.for_rows(0, column.size(), [&](std::int64_t, std::optional<std::string_view> text) {
    out.push_back(*text);
  });
  return true;
}

bool read_rules(Inputs& inputs, PyObject* pattern, PyObject* category, PyObject* merchant,
                RuleTexts& out) {
  TextColumn fields[3];
  if (!inputs.text(pattern, "pattern", fields[0]) ||
      !inputs.text(category, "category", fields[1]) ||
      !inputs.text(merchant, "merchant", fields[2])) {
    return false;
  }
  if (!texts_without_nulls(fields[0], "pattern", out.patterns) ||
      !texts_without_nulls(fields[1], "category", out.categories) ||
      !texts_without_nulls(fields[2], "merchant", out.merchants)) {
    return false;
  }
  if (out.categories.size() != out.patterns.size() || out.merchants.size() != out.patterns.size()) {
    PyErr_SetString(PyExc_ValueError, "rules: pattern, category and merchant differ in length");
    return false;
  }
  if (out.patterns.size() >= static_cast<std::size_t>(INT32_MAX)) {
    PyErr_SetString(PyExc_ValueError, "rules: too many rules");
    return false;
  }
  return true;
}

}  // namespace quorvane::columns
