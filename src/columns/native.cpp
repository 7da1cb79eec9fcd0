// columns/native.cpp: PyInit__native, the module quorvane_columns._native.
//
// Each function reads its arguments under the interpreter lock (importing and validating
// every Arrow array, or encoding a plain sequence), then releases the lock while the
// engine runs over those buffers and the result's Arrow buffers are built, and takes it
// back to wrap the result.
#include <Python.h>

#include <algorithm>  // std::max
#include <array>
#include <exception>  // std::exception
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>  // std::type_identity
#include <vector>

#include "cat.h"
#include "columns/arguments.h"
#include "columns/csv.h"
#include "columns/diagnose.h"
#include "columns/engines.h"
#include "columns/input.h"
#include "columns/loans.h"
#include "columns/table.h"
#include "fault.h"
#include "py/failure.h"
#include "py/guard.h"
#include "py/ref.h"
#include "py/runtime.h"
#include "quote.h"

namespace quorvane::columns {
namespace {

using py::PyRef;

// The Table type, made once at initialisation.
py::ProcessRef g_table_type;

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

// Runs `engine` (which returns a SharedTable) without the lock, and wraps its table.
template <class Engine>
PyObject* table_without_lock(const Engine& engine) {
  SharedTable table;
  {
    Unlocked unlocked;
    table = engine();
  }
  return wrap_table(g_table_type.get(), std::move(table)).release();
}

// The ValueError for row `row` of `narrations`, which is not well-formed UTF-8.
PyObject* malformed_narration(const TextColumn& narrations, std::int64_t row) {
  return Inputs::raise({ReadFailure::Kind::kValue, malformed_row(narrations.unchecked, row)}),
         nullptr;
}

// As table_without_lock, for an engine that checks the rows of `narrations` left to it
// (TextColumn::unchecked) and sets its argument to the first malformed one.
template <class Engine>
PyObject* checked_table_without_lock(const TextColumn& narrations, const Engine& engine) {
  std::int64_t malformed = -1;
  SharedTable table;
  {
    Unlocked unlocked;
    table = engine(malformed);
  }
  if (malformed >= 0) return malformed_narration(narrations, malformed);
  return wrap_table(g_table_type.get(), std::move(table)).release();
}

// Binds the positional-or-keyword parameters `names` (then the keyword-only `threads`)
// into `values`, and reads `threads`.
template <std::size_t N>
bool bind(PyObject* args, PyObject* kwargs, const char* format, const char* (&names)[N],
          PyObject* (&values)[N - 2], unsigned& threads) {
  PyObject* threads_arg = nullptr;
  bool bound = false;
  auto** keywords = const_cast<char**>(names);
  if constexpr (N == 3) {
    bound = PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &values[0], &threads_arg);
  } else if constexpr (N == 4) {
    bound = PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &values[0], &values[1],
                                        &threads_arg);
  } else if constexpr (N == 5) {
    bound = PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &values[0], &values[1],
                                        &values[2], &threads_arg);
  } else {
    static_assert(N == 6, "one to four arguments, then threads");
    bound = PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &values[0], &values[1],
                                        &values[2], &values[3], &threads_arg);
  }
  return bound && read_threads(threads_arg, threads);
}

// The narrations (a column, or the one `column` names in a table) and the rules: the
// arguments categorize, explain and unmatched share.
bool read_narrations_and_rules(Inputs& inputs, PyObject* narrations_arg, PyObject* column,
                               PyObject* rules_arg, TextColumn& narrations,
                               std::vector<categorizer::CategoryRule>& rules) {
  if (column == Py_None) column = nullptr;
  if (column != nullptr && !PyUnicode_Check(column)) {
    return Inputs::raise({ReadFailure::Kind::kType, cat("column: expected a str or None, got '",
                                                        py::type_name(column), "'")});
  }
  // The engines check the narrations as they lower them, the few holding a byte >= 0x80.
  return inputs.text(narrations_arg, "narrations", column, narrations, Utf8::kUnchecked) &&
         read_rules(inputs, rules_arg, rules);
}

// MARK: categorize

// Binds and reads the arguments categorize and explain share: `narrations` and `rules`,
// then the keyword-only `column` and `threads`.
bool read_categorize_arguments(PyObject* args, PyObject* kwargs, const char* format, Inputs& inputs,
                               TextColumn& narrations,
                               std::vector<categorizer::CategoryRule>& rules, unsigned& threads) {
  static const char* names[] = {"narrations", "rules", "column", "threads", nullptr};
  PyObject* narrations_arg = nullptr;
  PyObject* rules_arg = nullptr;
  PyObject* column = nullptr;
  PyObject* threads_arg = nullptr;
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names),
                                     &narrations_arg, &rules_arg, &column, &threads_arg) &&
         read_threads(threads_arg, threads) &&
         read_narrations_and_rules(inputs, narrations_arg, column, rules_arg, narrations, rules);
}

PyObject* categorize_entry(PyObject* args, PyObject* kwargs) {
  Inputs inputs;
  TextColumn narrations;
  std::vector<categorizer::CategoryRule> rules;
  unsigned threads = 1;
  if (!read_categorize_arguments(args, kwargs, "OO|$OO:categorize", inputs, narrations, rules,
                                 threads)) {
    return nullptr;
  }
#ifdef QV_FAULT_INJECTION
  // Test builds only: a rule that stands for a fault the door cannot otherwise show.
  for (const auto& rule : rules) {
    QV_ASSERT(rule.pattern != "quorvane: internal fault", "injected internal fault");
  }
#endif
  return checked_table_without_lock(narrations, [&](std::int64_t& malformed) {
    return categorize_table(narrations, rules, threads, malformed);
  });
}

// MARK: derive

// Binds (narrations, categories=None, merchants=None, *, threads=None) and reads the
// examples, viewed in buffers that `inputs` keeps.
bool bind_examples(PyObject* args, PyObject* kwargs, const char* format, Inputs& inputs,
                   ExampleRows& examples, unsigned& threads) {
  static const char* names[] = {"narrations", "categories", "merchants", "threads", nullptr};
  PyObject* values[3] = {nullptr, nullptr, nullptr};
  return bind(args, kwargs, format, names, values, threads) &&
         read_examples(inputs, values[0], values[1], values[2], examples);
}

PyObject* derive_entry(PyObject* args, PyObject* kwargs) {
  Inputs inputs;
  ExampleRows examples;
  unsigned threads = 1;
  if (!bind_examples(args, kwargs, "O|OO$O:derive", inputs, examples, threads)) return nullptr;
  return table_without_lock([&] {
    auto derived = categorizer::derive_rules(examples.all(threads), threads);
    QV_ASSERT(static_cast<bool>(derived), "derivation never fails");
    return rules_table(derived.value().rules);
  });
}

PyObject* derive_partial_entry(PyObject* args, PyObject* kwargs) {
  Inputs inputs;
  ExampleRows examples;
  unsigned threads = 1;
  if (!bind_examples(args, kwargs, "O|OO$O:derive_partial", inputs, examples, threads)) {
    return nullptr;
  }
  return table_without_lock(
      [&] { return counts_table(categorizer::derive_counts(examples.all(threads), threads)); });
}

PyObject* derive_merge_entry(PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"tables", "threads", nullptr};
  PyObject* values[1];
  unsigned threads = 1;  // merging runs on one thread: it is bound by memory, not work
  if (!bind(args, kwargs, "O|$O:derive_merge", names, values, threads)) return nullptr;
  auto tables = PyRef::steal(PySequence_Tuple(values[0]));
  if (!tables) return nullptr;
  // Each table is named by its place, as the caller passed them: "counts 2". The names
  // outlive `inputs`, which may keep them for a message.
  std::vector<std::string> labels(static_cast<std::size_t>(PyTuple_Size(tables.get())));
  for (std::size_t i = 0; i < labels.size(); ++i) labels[i] = cat("counts ", std::to_string(i));
  Inputs inputs;
  std::vector<categorizer::TokenCount> rows;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    PyObject* table = PyTuple_GetItem(tables.get(), static_cast<Py_ssize_t>(i));
    if (!read_counts(inputs, table, labels[i], rows)) return nullptr;
  }
  return table_without_lock([&] { return counts_table(categorizer::merge_counts(rows)); });
}

PyObject* derive_finish_entry(PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"counts", "threads", nullptr};
  PyObject* values[1];
  unsigned threads = 1;
  if (!bind(args, kwargs, "O|$O:derive_finish", names, values, threads)) return nullptr;
  Inputs inputs;
  std::vector<categorizer::TokenCount> rows;
  if (!read_counts(inputs, values[0], "counts", rows)) return nullptr;
  std::optional<categorizer::TooManyExamples> failure;
  SharedTable table;
  {
    Unlocked unlocked;
    auto derived = categorizer::derive_from_counts(rows);
    if (derived) {
      table = rules_table(derived.value().rules);
    } else {
      failure = derived.error();
    }
  }
  if (failure) {
    std::string token;
    append_quoted(failure->token, token);
    return Inputs::raise({ReadFailure::Kind::kValue,
                          cat("counts: token ", token,
                              " is held by more examples than "
                              "derivation counts (at most ",
                              std::to_string(categorizer::kExampleLimit - 1), ")")}),
           nullptr;
  }
  return wrap_table(g_table_type.get(), std::move(table)).release();
}

// MARK: DeriveCounter

// The DeriveCounter type, made once at initialisation.
py::ProcessRef g_counter_type;

struct CounterObject {
  PyObject_HEAD categorizer::DeriveCounter* counter;  // null only while one is being made
  bool skip_unlabelled;  // add() leaves out examples with neither category nor merchant
};

PyObject* counter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"expected", "skip_unlabelled", nullptr};
  Py_ssize_t expected = 0;
  int skip_unlabelled = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|n$p:DeriveCounter", const_cast<char**>(names),
                                   &expected, &skip_unlabelled)) {
    return nullptr;
  }
  if (expected < 0) {
    PyErr_SetString(PyExc_ValueError, "expected: must not be negative");
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  auto object = PyRef::steal(alloc(type, 0));
  if (!object) return nullptr;
  categorizer::DeriveCounter* counter = nullptr;
  {
    Unlocked unlocked;  // sizing the tables for a million rows takes a while
    counter = new categorizer::DeriveCounter(static_cast<std::size_t>(expected));
  }
  reinterpret_cast<CounterObject*>(object.get())->counter = counter;
  reinterpret_cast<CounterObject*>(object.get())->skip_unlabelled = skip_unlabelled != 0;
  return object.release();
}

PyObject* counter_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  Inputs inputs;
  ExampleRows examples;
  unsigned threads = 1;
  if (!bind_examples(args, kwargs, "O|OO$O:add", inputs, examples, threads)) return nullptr;
  const auto* object = reinterpret_cast<CounterObject*>(self);
  std::int64_t skipped = 0;
  {
    Unlocked unlocked;  // the caller's reference keeps `self`, and so `counter`, alive
    if (object->skip_unlabelled) skipped = examples.drop_unlabelled(threads);
    object->counter->add(examples.all(threads), threads);
  }
  return PyLong_FromLongLong(skipped);
}

PyObject* counter_finish(PyObject* self, PyObject*) {
  const categorizer::DeriveCounter* counter = reinterpret_cast<CounterObject*>(self)->counter;
  return table_without_lock([&] {
    auto derived = counter->finish();
    QV_ASSERT(static_cast<bool>(derived), "derivation never fails");
    return rules_table(derived.value().rules);
  });
}

void counter_dealloc(PyObject* self) {
  delete reinterpret_cast<CounterObject*>(self)->counter;
  PyTypeObject* type = Py_TYPE(self);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);  // a heap type's instances hold a reference to it
}

template <auto Method, class... Args>
auto guarded_method(Args... args) {
  return py::guard("quorvane_columns", [&] { return Method(args...); });
}

PyMethodDef g_counter_methods[] = {
    {"add",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         guarded_method<counter_add, PyObject*, PyObject*, PyObject*>)),
     METH_VARARGS | METH_KEYWORDS,
     "add(narrations, categories=None, merchants=None, *, threads=None)\n--\n\n"
     "Counts a batch of labelled examples into the counts so far; gives how many were "
     "left out (see skip_unlabelled)."},
    {"finish", guarded_method<counter_finish, PyObject*, PyObject*>, METH_NOARGS,
     "The rules of every example added so far: a Table of pattern, category, merchant."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_counter_slots[] = {
    {Py_tp_doc, const_cast<char*>("DeriveCounter(expected=0, *, skip_unlabelled=False)\n--\n\n"
                                  "Counts for rule derivation, added batch by batch; "
                                  "`expected`: about how many examples will come; "
                                  "`skip_unlabelled`: leave out examples whose category and "
                                  "merchant are both empty.\n\n"
                                  "finish() gives the rules derive gives on every example "
                                  "added.")},
    {Py_tp_new,
     reinterpret_cast<void*>(guarded_method<counter_new, PyTypeObject*, PyObject*, PyObject*>)},
    {Py_tp_methods, g_counter_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(counter_dealloc)},
    {0, nullptr},
};

PyType_Spec g_counter_spec = {
    "quorvane_columns._native.DeriveCounter",
    static_cast<int>(sizeof(CounterObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_counter_slots,
};

// MARK: emi

PyObject* emi_entry(PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"loans", "events", "threads", nullptr};
  PyObject* values[2] = {nullptr, nullptr};
  unsigned threads = 1;
  if (!bind(args, kwargs, "O|O$O:emi", names, values, threads)) return nullptr;
  Inputs inputs;
  std::vector<LoanRequest> loans;
  std::vector<emi::EmiCharges> charges;
  bool fees = false;
  if (!read_loans(inputs, values[0], loans, charges, fees)) return nullptr;
  // Events or fees: each loan is computed with its events, and compared with itself
  // without them.
  const bool events = values[1] != nullptr && values[1] != Py_None;
  std::vector<emi::EmiEvent> table;
  if (events && !read_events(inputs, values[1], table)) return nullptr;
  auto index = emi::index_events(table, loans.size());
  if (!index) {
    return Inputs::raise({ReadFailure::Kind::kValue, index.error().display()}), nullptr;
  }
  const LoanExtras extras{table, &index.value(), charges, fees};
  std::pair<SharedTable, SharedTable> tables;
  {
    Unlocked unlocked;
    tables = solve_loans(loans, events || fees ? &extras : nullptr, threads);
  }
  PyRef first = wrap_table(g_table_type.get(), std::move(tables.first));
  if (!first) return nullptr;
  PyRef second = wrap_table(g_table_type.get(), std::move(tables.second));
  if (!second) return nullptr;
  return PyTuple_Pack(2, first.get(), second.get());
}

// MARK: diagnostics

PyObject* explain_entry(PyObject* args, PyObject* kwargs) {
  Inputs inputs;
  TextColumn narrations;
  std::vector<categorizer::CategoryRule> rules;
  unsigned threads = 1;
  if (!read_categorize_arguments(args, kwargs, "OO|$OO:explain", inputs, narrations, rules,
                                 threads)) {
    return nullptr;
  }
  std::int64_t too_long = -1;
  std::int64_t malformed = -1;
  SharedTable table;
  {
    Unlocked unlocked;
    table = explain_table(narrations, rules, threads, too_long, malformed);
  }
  if (malformed >= 0) return malformed_narration(narrations, malformed);
  if (!table) {
    return Inputs::raise(
               {ReadFailure::Kind::kValue, cat("narrations: row ", std::to_string(too_long),
                                               " matches beyond character 2147483647")}),
           nullptr;
  }
  return wrap_table(g_table_type.get(), std::move(table)).release();
}

PyObject* lint_entry(PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"rules", "threads", nullptr};
  PyObject* values[1];
  unsigned threads = 1;
  if (!bind(args, kwargs, "O|$O:lint", names, values, threads)) return nullptr;
  Inputs inputs;
  std::vector<categorizer::CategoryRule> rules;
  if (!read_rules(inputs, values[0], rules)) return nullptr;
  return table_without_lock([&] { return lint_table(rules, threads); });
}

PyObject* evaluate_entry(PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"narrations", "categories", "merchants",
                                "rules",      "threads",    nullptr};
  PyObject* values[4] = {nullptr, nullptr, nullptr, nullptr};
  unsigned threads = 1;
  if (!bind(args, kwargs, "OOOO|$O:evaluate", names, values, threads)) return nullptr;
  Inputs inputs;
  ExampleRows examples;
  std::vector<categorizer::CategoryRule> rules;
  if (!read_examples(inputs, values[0], values[1], values[2], examples) ||
      !read_rules(inputs, values[3], rules)) {
    return nullptr;
  }
  std::array<SharedTable, 3> tables;
  {
    Unlocked unlocked;
    tables = evaluate_tables(examples, rules, threads);
  }
  PyRef wrapped[3];
  for (std::size_t i = 0; i < 3; ++i) {
    wrapped[i] = wrap_table(g_table_type.get(), std::move(tables[i]));
    if (!wrapped[i]) return nullptr;
  }
  return PyTuple_Pack(3, wrapped[0].get(), wrapped[1].get(), wrapped[2].get());
}

PyObject* unmatched_entry(PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"narrations", "rules", "top", "column", "threads", nullptr};
  PyObject* narrations_arg = nullptr;
  PyObject* rules_arg = nullptr;
  PyObject* top_arg = nullptr;
  PyObject* column = nullptr;
  PyObject* threads_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O$OO:unmatched", const_cast<char**>(names),
                                   &narrations_arg, &rules_arg, &top_arg, &column, &threads_arg)) {
    return nullptr;
  }
  std::size_t top = 50;
  if (top_arg != nullptr && !read_top(top_arg, top)) return nullptr;
  unsigned threads = 1;
  if (!read_threads(threads_arg, threads)) return nullptr;
  Inputs inputs;
  TextColumn narrations;
  std::vector<categorizer::CategoryRule> rules;
  if (!read_narrations_and_rules(inputs, narrations_arg, column, rules_arg, narrations, rules)) {
    return nullptr;
  }
  return checked_table_without_lock(narrations, [&](std::int64_t& malformed) {
    return unmatched_table(narrations, rules, top, threads, malformed);
  });
}

// MARK: longest

PyObject* longest_entry(PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"column", nullptr};
  PyObject* source = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:longest", const_cast<char**>(names), &source)) {
    return nullptr;
  }
  Inputs inputs;
  TextColumn column;
  // Lengths in bytes: the text is not read as such, so it is not checked as UTF-8.
  if (!inputs.text(source, "column", nullptr, column, Utf8::kUnchecked)) return nullptr;
  std::size_t longest = 0;
  column.for_rows(0, column.size(), [&](std::int64_t, std::optional<std::string_view> text) {
    if (text) longest = std::max(longest, text->size());
  });
  return PyLong_FromSize_t(longest);
}

// MARK: csv_lines

PyObject* csv_lines_entry(PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"columns", "delimiter", nullptr};
  PyObject* sequence = nullptr;
  int delimiter = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OC:csv_lines", const_cast<char**>(names),
                                   &sequence, &delimiter)) {
    return nullptr;
  }
  if (delimiter == '"' || delimiter == '\r' || delimiter == '\n' || delimiter < 1 ||
      delimiter > 127) {
    PyErr_SetString(PyExc_ValueError,
                    "delimiter: expected an ASCII character other than a "
                    "quote or a line break");
    return nullptr;
  }
  Py_ssize_t count = PySequence_Size(sequence);
  if (count < 0) return nullptr;
  Inputs inputs;
  std::vector<FieldColumn> columns(static_cast<std::size_t>(count));
  std::int64_t rows = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    auto item = PyRef::steal(PySequence_GetItem(sequence, i));
    if (!item) return nullptr;
    FieldColumn& column = columns[static_cast<std::size_t>(i)];
    if (!inputs.cells(item.get(), cat("columns[", std::to_string(i), "]"), column)) return nullptr;
    std::int64_t size = column.text != nullptr ? column.text->size() : column.number->size();
    if (i > 0 && size != rows) {
      PyErr_SetString(PyExc_ValueError, "columns: the columns differ in length");
      return nullptr;
    }
    rows = size;
  }
  std::string lines;
  {
    Unlocked unlocked;
    lines = csv_lines(columns, rows, static_cast<char>(delimiter));
  }
  return PyBytes_FromStringAndSize(lines.data(), static_cast<Py_ssize_t>(lines.size()));
}

// MARK: the module

template <PyObject* (*Entry)(PyObject*, PyObject*)>
PyObject* guarded(PyObject*, PyObject* args, PyObject* kwargs) {
  return py::guard("quorvane_columns", [&] { return Entry(args, kwargs); });
}

template <PyObject* (*Entry)(PyObject*, PyObject*)>
PyCFunction function() {
  // The interpreter calls METH_VARARGS | METH_KEYWORDS functions with three arguments;
  // the table's type only has room for two.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<Entry>));
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_functions[] = {
    {"categorize", function<categorize_entry>(), kFlags,
     "categorize(narrations, rules, *, column=None, threads=None)\n--\n\n"
     "Each narration's first matching rule: a Table of rule, category, merchant."},
    {"derive", function<derive_entry>(), kFlags,
     "derive(narrations, categories=None, merchants=None, *, threads=None)\n--\n\n"
     "Rules learnt from labelled examples: a Table of pattern, category, merchant."},
    {"derive_partial", function<derive_partial_entry>(), kFlags,
     "derive_partial(narrations, categories=None, merchants=None, *, threads=None)\n--\n\n"
     "The counts derivation is made of: a Table of category, merchant, token, count."},
    {"derive_merge", function<derive_merge_entry>(), kFlags,
     "derive_merge(tables, *, threads=None)\n--\n\nTables of counts added up into one."},
    {"derive_finish", function<derive_finish_entry>(), kFlags,
     "derive_finish(counts, *, threads=None)\n--\n\nThe rules a table of counts gives."},
    {"csv_lines", function<csv_lines_entry>(), kFlags,
     "csv_lines(columns, delimiter)\n--\n\n"
     "Rows of text or integer columns as CSV lines, quoted as Python's csv module quotes."},
    {"emi", function<emi_entry>(), kFlags,
     "emi(loans, events=None, *, threads=None)\n--\n\n"
     "Solves each loan of a table, with its events: a pair of Tables, loans and schedule."},
    {"explain", function<explain_entry>(), kFlags,
     "explain(narrations, rules, *, column=None, threads=None)\n--\n\n"
     "Why each narration gets its rule: a Table of rule, start, end, matched."},
    {"lint", function<lint_entry>(), kFlags,
     "lint(rules, *, threads=None)\n--\n\n"
     "The rules that never win: a Table of rule, kind, by, message."},
    {"evaluate", function<evaluate_entry>(), kFlags,
     "evaluate(narrations, categories, merchants, rules, *, threads=None)\n--\n\n"
     "The rules' figures on labelled rows: Tables per_rule, per_category, summary."},
    {"unmatched", function<unmatched_entry>(), kFlags,
     "unmatched(narrations, rules, top=50, *, column=None, threads=None)\n--\n\n"
     "Unmatched narrations grouped by a word: a Table of word, count, examples."},
    {"longest", function<longest_entry>(), kFlags,
     "longest(column)\n--\n\nThe size in bytes of a string column's longest cell; 0 for none."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "quorvane_columns._native",
    "",
    0,
    g_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The names of the columns R is read from, appended to `names`.
template <record::RecordType R>
bool add_names(PyObject* names) {
  for (std::string_view name : record::kFieldNames<R>) {
    auto text = PyRef::steal(
        PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!text || PyList_Append(names, text.get()) < 0) return false;
  }
  return true;
}

// COLUMNS: for each kind of table a call reads whole, the names of the columns it reads,
// so that the Python side can hand over those columns alone (pyarrow converts, and may
// refuse, every column of a pandas frame it exports).
PyRef table_columns() {
  auto columns = PyRef::steal(PyDict_New());
  if (!columns) return {};
  auto add = [&](const char* kind, auto... records) {
    auto names = PyRef::steal(PyList_New(0));
    if (!names || !(add_names<typename decltype(records)::type>(names.get()) && ...)) return false;
    auto tuple = PyRef::steal(PyList_AsTuple(names.get()));
    return tuple && PyDict_SetItemString(columns.get(), kind, tuple.get()) == 0;
  };
  if (!add("rules", std::type_identity<categorizer::CategoryRule>{}) ||
      !add("examples", std::type_identity<categorizer::DeriveInput>{}) ||
      !add("counts", std::type_identity<categorizer::TokenCountRow>{}) ||
      !add("loans", std::type_identity<emi::EmiRequest>{}, std::type_identity<emi::EmiCharges>{}) ||
      !add("events", std::type_identity<emi::EmiEvent>{})) {
    return {};
  }
  return columns;
}

PyObject* initialise() {
  auto module = PyRef::steal(PyModule_Create(&g_definition));
  if (!module) return nullptr;
  if (!g_table_type) {
    PyRef type = make_table_type(module.get());
    if (!type) return nullptr;
    g_table_type.keep(std::move(type));
  }
  PyRef type = PyRef::borrow(g_table_type.get());
  if (PyModule_AddObject(module.get(), "Table", type.get()) < 0) return nullptr;
  type.release();  // PyModule_AddObject stole it
  if (!g_counter_type) {
    auto counter_type = PyRef::steal(PyType_FromSpec(&g_counter_spec));
    if (!counter_type) return nullptr;
    g_counter_type.keep(std::move(counter_type));
  }
  PyRef counter_type = PyRef::borrow(g_counter_type.get());
  if (PyModule_AddObject(module.get(), "DeriveCounter", counter_type.get()) < 0) return nullptr;
  counter_type.release();  // PyModule_AddObject stole it
  PyRef columns = table_columns();
  if (!columns || PyModule_AddObject(module.get(), "COLUMNS", columns.get()) < 0) return nullptr;
  columns.release();  // PyModule_AddObject stole it
  if (PyModule_AddStringConstant(module.get(), "__version__", QV_VERSION) < 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace quorvane::columns

PyMODINIT_FUNC PyInit__native(void) {
  try {
    return quorvane::columns::initialise();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return nullptr;
  }
}
