// columns/arguments.h: the arguments of the column functions, read from Python: rules,
// labelled examples, tables of counts, loans and the number of threads. A binding of a
// new function reads its arguments with these.
#pragma once

#include <Python.h>

#include <cstddef>  // std::size_t
#include <vector>

#include "categorizer/engine.h"
#include "categorizer/model.h"
#include "columns/engines.h"
#include "columns/input.h"
#include "columns/loans.h"

namespace quorvane::columns {

/// Rules in priority order: a table with `pattern`, `category` and `merchant` columns (or
/// a stream of one, read once), a mapping of those columns, a sequence of rules (mappings,
/// or arrays of the three texts), or a mapping holding such a sequence under "rules" (a
/// categorize_transactions request). False with an exception set on failure.
bool read_rules(Inputs& inputs, PyObject* source, std::vector<categorizer::CategoryRule>& out);

/// Labelled examples, viewed where they lie: three string columns of equal length
/// without nulls; or, with `categories` and `merchants` null, one table with a column
/// per field of DeriveInput, a sequence of such records, or a derive_rules request
/// holding them under "data".
bool read_examples(Inputs& inputs, PyObject* narrations, PyObject* categories, PyObject* merchants,
                   ExampleRows& out);

/// The rows of a table of counts (a column per field of TokenCountRow), appended to
/// `out` as views that `inputs` keeps valid; `label` names the table in messages, and
/// must outlive `inputs`.
bool read_counts(Inputs& inputs, PyObject* source, std::string_view label,
                 std::vector<categorizer::TokenCount>& out);

/// Loans, a row each: its request, or the text compute_emi raises for the same loan given
/// as a request dict (the row's values, nulls left out); and beside each request what its
/// row costs (`fees`, 0 where null or absent). `fees` is set when the loans have a
/// `fees` column (a sequence of records: when one of them has a `fees` key).
bool read_loans(Inputs& inputs, PyObject* source, std::vector<LoanRequest>& out,
                std::vector<emi::EmiCharges>& charges, bool& fees);

/// The rows of an events table, every one an event: a row that is none (a null, a
/// negative or broken number) fails the call, naming the row.
bool read_events(Inputs& inputs, PyObject* source, std::vector<emi::EmiEvent>& out);

/// The `threads` argument: None (or null) for every core, else a positive int.
bool read_threads(PyObject* value, unsigned& out);

/// unmatched()'s `top`: an int of at least 0; one too large for a size_t means all groups.
bool read_top(PyObject* value, std::size_t& out);

}  // namespace quorvane::columns
