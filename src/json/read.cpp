// json/read.cpp: the non-template parts of reading values into records.
#include "json/read.h"

namespace quorvane::json::detail {

using Fault = DecodeFault;

bool read_text(Reader& r, std::string& out) {
  int c = r.peek_ws();
  if (c == '"') {
    r.bump();
    return r.string(out);
  }
  if (c == Reader::kEnd) return r.fail_peek(Fault::kEofValue);
  return r.invalid_type("a string");
}

namespace {

// Reads a number where one is expected, or fails naming what is there instead.
bool read_number(Reader& r, Number& out, std::string_view expected) {
  int c = r.peek_ws();
  if (c == '-' || (c >= '0' && c <= '9')) {
    if (!r.number(out)) return false;
    if (out.out_of_range) return r.fail(Fault::kNumberOutOfRange);
    return true;
  }
  if (c == Reader::kEnd) return r.fail_peek(Fault::kEofValue);
  return r.invalid_type(expected);
}

}  // namespace

bool read_f64(Reader& r, double& out) {
  Number n;
  if (!read_number(r, n, "f64")) return false;
  out = n.as_double();
  return true;
}

bool read_u32(Reader& r, std::uint32_t& out) {
  Number n;
  if (!read_number(r, n, "u32")) return false;
  switch (n.kind) {
    case Number::Kind::kUnsigned:
      if (n.u > UINT32_MAX) return r.fail(Fault::kInvalidValue, n.describe(), "u32");
      out = static_cast<std::uint32_t>(n.u);
      return true;
    case Number::Kind::kSigned:
      return r.fail(Fault::kInvalidValue, n.describe(), "u32");
    case Number::Kind::kFloat:
      break;
  }
  return r.fail(Fault::kInvalidType, n.describe(), "u32");
}

int read_variant(Reader& r, const std::string_view* names, std::size_t count) {
  auto lookup = [&](std::string_view name) -> int {
    for (std::size_t i = 0; i < count; ++i) {
      if (names[i] == name) return static_cast<int>(i);
    }
    r.fail(Fault::kUnknownVariant, std::string(name), record::variant_list(names, count));
    return -1;
  };

  int c = r.peek_ws();
  if (c == '"') {
    std::string_view name;
    if (!r.string_view(name)) return -1;
    return lookup(name);
  }
  if (c != '{')
    return r.fail_peek(c == Reader::kEnd ? Fault::kEofValue : Fault::kExpectedValue), -1;

  // The object form: {"name": null}.
  if (!r.open()) return -1;
  c = r.peek_ws();
  if (c == Reader::kEnd) return r.fail_peek(Fault::kEofValue), -1;
  if (c != '"') return r.invalid_type("variant identifier"), -1;
  std::string_view name;
  if (!r.string_view(name)) return -1;
  int index = lookup(name);
  if (index < 0 || !r.colon()) return -1;
  c = r.peek_ws();
  if (c == Reader::kEnd) return r.fail_peek(Fault::kEofValue), -1;
  if (c != 'n') return r.invalid_type("unit"), -1;
  r.bump();
  if (!r.literal("ull")) return -1;
  c = r.peek_ws();
  if (c == '}') {
    r.close();
    return index;
  }
  return r.fail_peek(c == Reader::kEnd ? Fault::kEofObject : Fault::kExpectedValue), -1;
}

}  // namespace quorvane::json::detail
