// quote.h: text quoted for failure messages.
#pragma once

#include <string>
#include <string_view>

namespace quorvane {

/// Appends `text` (well-formed UTF-8) in double quotes, with a backslash before each
/// double quote and backslash, \t \r \n \0 for those characters, and \u{hex} (lower-case
/// hexadecimal) for any other character that is not printable.
void append_quoted(std::string_view text, std::string& out);

}  // namespace quorvane
