// quote.cpp: text quoted for failure messages.
#include "quote.h"

#include <cstdio>  // std::snprintf

#include "unicode/classes.h"
#include "unicode/utf8.h"

namespace quorvane {

void append_quoted(std::string_view text, std::string& out) {
  out += '"';
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const char* start = p;
    char32_t c = unicode::decode_utf8(p, end);
    switch (c) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (unicode::is_printable(c)) {
          out.append(start, static_cast<std::size_t>(p - start));
        } else {
          char escape[16];
          int n = std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(c));
          out.append(escape, static_cast<std::size_t>(n));
        }
    }
  }
  out += '"';
}

}  // namespace quorvane
