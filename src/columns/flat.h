// columns/flat.h: a result table as one flat string of bytes and back, without Python:
// what a pickled Table holds.
#pragma once

#include <string>
#include <string_view>

#include "columns/arrow.h"
#include "columns/read.h"

namespace quorvane::columns {

/// The bytes of `table`, built by nanoarrow (every result table is): its schema, then
/// each array's length, null count, offset and buffers, children and dictionary after
/// their parent. The cost is linear in the size of the buffers.
std::string flatten(const Table& table);

/// The table that `bytes` (from flatten) hold, its arrays validated in full; a
/// ValueError-kind failure for bytes that hold none.
Read<SharedTable> unflatten(std::string_view bytes);

}  // namespace quorvane::columns
