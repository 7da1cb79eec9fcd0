// columns/binding.h: what the module's entry files share: the interpreter lock released
// around an engine, the result table's type, worker threads, and reading rules.
#pragma once

#include <Python.h>

#include <string_view>
#include <utility>  // std::move
#include <vector>

#include "columns/arrow.h"
#include "columns/arrow_input.h"
#include "columns/column.h"
#include "columns/table.h"
#include "py/ref.h"

namespace quorvane::columns {

/// Releases the interpreter lock for its lifetime: only plain buffers may be touched
/// meanwhile, no Python object, no reference count.
class Unlocked {
 public:
  Unlocked() noexcept : state_(PyEval_SaveThread()) {}
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  ~Unlocked() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

/// The Table type (borrowed), made once by make_table_type_once.
PyObject* table_type() noexcept;

/// Makes the Table type for `module` unless it exists; false with an exception set.
bool make_table_type_once(PyObject* module);

/// A new Table object over `table`, or null with an exception set.
inline PyObject* new_table(SharedTable table) {
  return wrap_table(table_type(), std::move(table)).release();
}

/// Runs `engine` (which returns a SharedTable) without the lock, and wraps its table.
template <class Engine>
PyObject* table_without_lock(const Engine& engine) {
  SharedTable table;
  {
    Unlocked unlocked;
    table = engine();
  }
  return new_table(std::move(table));
}

/// The threads an engine may run on: one per core.
unsigned worker_threads();

/// False with a ValueError naming the column and its first null row, if it has one.
bool check_no_nulls(const TextColumn& column, const char* what);

/// Texts of a column without nulls, as views; false with a ValueError on a null.
bool texts_without_nulls(const TextColumn& column, const char* what,
                         std::vector<std::string_view>& out);

/// The rules' three columns as views, each without nulls, of equal length.
struct RuleTexts {
  std::vector<std::string_view> patterns;
  std::vector<std::string_view> categories;
  std::vector<std::string_view> merchants;
};

/// Reads the rules' pattern, category and merchant columns through `inputs` (which
/// keeps their buffers); false with an exception set.
bool read_rules(Inputs& inputs, PyObject* pattern, PyObject* category, PyObject* merchant,
                RuleTexts& out);

}  // namespace quorvane::columns
