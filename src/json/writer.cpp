// json/writer.cpp: compact JSON output into a growable byte buffer.
#include "json/writer.h"

#include <cmath>    // std::isfinite
#include <cstdlib>  // std::malloc, std::realloc, std::free
#include <new>      // std::bad_alloc

#include "json/number.h"
#include "json/scan.h"

namespace quorvane::json {

Buffer::Buffer() : data_(static_cast<char*>(std::malloc(128))), capacity_(128) {
  if (data_ == nullptr) throw std::bad_alloc();
}

Buffer::~Buffer() { std::free(data_); }

void Buffer::grow(std::size_t n) {
  std::size_t capacity = capacity_ * 2;
  if (capacity - size_ < n) capacity = size_ + n;
  auto* data = static_cast<char*>(std::realloc(data_, capacity));
  if (data == nullptr) throw std::bad_alloc();
  data_ = data;
  capacity_ = capacity;
}

void write_string(Buffer& out, std::string_view text) {
  out.push('"');
  const char* p = text.data();
  const char* end = p + text.size();
  for (;;) {
    const char* stop = find_string_stop(p, end);
    out.append(std::string_view(p, static_cast<std::size_t>(stop - p)));
    if (stop == end) break;
    auto c = static_cast<unsigned char>(*stop);
    p = stop + 1;
    char short_form = 0;
    switch (c) {
      case '"':
        short_form = '"';
        break;
      case '\\':
        short_form = '\\';
        break;
      case '\b':
        short_form = 'b';
        break;
      case '\t':
        short_form = 't';
        break;
      case '\n':
        short_form = 'n';
        break;
      case '\f':
        short_form = 'f';
        break;
      case '\r':
        short_form = 'r';
        break;
      default:
        break;
    }
    if (short_form != 0) {
      char escape[2] = {'\\', short_form};
      out.append(std::string_view(escape, 2));
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      out.append(std::string_view(escape, 6));
    }
  }
  out.push('"');
}

void write_float(Buffer& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  out.commit(format_float(value, out.reserve(kMaxFloatText)));
}

}  // namespace quorvane::json
