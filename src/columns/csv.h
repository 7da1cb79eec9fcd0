// columns/csv.h: rows of columns written as CSV lines.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "columns/records.h"

namespace quorvane::columns {

/// Rows [0, rows) of `columns` as CSV lines in UTF-8, each ended by CRLF. Each column
/// holds texts or integers (read with Holds::kTextOrInteger); a null is an empty cell.
/// A cell is quoted, its quotes doubled, only where it holds the delimiter, a quote, CR
/// or LF; an empty cell alone on its line is quoted too, so the line is not blank. These
/// are the bytes Python's csv.writer writes with lineterminator="\r\n", which the command
/// line's two ways of writing a file must agree on.
std::string csv_lines(std::span<const FieldColumn> columns, std::int64_t rows, char delimiter);

}  // namespace quorvane::columns
