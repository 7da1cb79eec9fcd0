// json/number.cpp: decimal-to-float conversion and float layout.
#include "json/number.h"

#include <array>
#include <charconv>  // std::to_chars, std::from_chars
#include <cmath>     // std::isinf
#include <cstring>   // std::memcpy

#include "cat.h"
#include "fault.h"

namespace quorvane::json {
namespace {

// The float nearest to each power of ten 10^0 .. 10^308, as the correctly rounded
// reading of "1e<k>" gives it (repeated multiplication would drift in the last bits).
const std::array<double, 309> kPow10 = [] {
  std::array<double, 309> table{};
  for (int k = 0; k < static_cast<int>(table.size()); ++k) {
    char text[8] = {'1', 'e'};
    char* end = std::to_chars(text + 2, text + sizeof text, k).ptr;
    std::from_chars(text, end, table[static_cast<std::size_t>(k)]);
  }
  return table;
}();

}  // namespace

double float_from_parts(std::uint64_t significand, std::int64_t exponent, bool& out_of_range) {
  double f = static_cast<double>(significand);
  for (;;) {
    std::int64_t magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < static_cast<std::int64_t>(kPow10.size())) {
      double power = kPow10[static_cast<std::size_t>(magnitude)];
      if (exponent >= 0) {
        f *= power;
        if (std::isinf(f)) out_of_range = true;
      } else {
        f /= power;
      }
      return f;
    }
    if (f == 0.0) return f;
    if (exponent >= 0) {
      out_of_range = true;
      return f;
    }
    f /= 1e308;
    exponent += 308;
  }
}

double Number::as_double() const noexcept {
  switch (kind) {
    case Kind::kUnsigned:
      return static_cast<double>(u);
    case Kind::kSigned:
      return static_cast<double>(i);
    case Kind::kFloat:
      return f;
  }
  return f;
}

std::string Number::describe() const {
  switch (kind) {
    case Kind::kUnsigned:
      return cat("integer `", std::to_string(u), "`");
    case Kind::kSigned:
      return cat("integer `", std::to_string(i), "`");
    case Kind::kFloat:
      break;
  }
  char text[kMaxFloatText];
  return cat("floating point `", std::string_view(text, format_float(f, text)), "`");
}

std::size_t format_float(double value, char* out) {
  // std::to_chars without a precision gives the shortest digits that read back as the
  // same float, here as d.ddde±XX; only the layout is ours.
  char sci[kMaxFloatText];
  auto [end, ec] = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  QV_ASSERT(ec == std::errc{}, "a double always fits the scientific buffer");

  const char* p = sci;
  char* o = out;
  if (*p == '-') *o++ = *p++;
  char digits[20];
  int count = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[count++] = *p;
  }
  ++p;  // 'e'
  bool negative = *p++ == '-';
  int exponent = 0;
  for (; p < end; ++p) exponent = exponent * 10 + (*p - '0');
  if (negative) exponent = -exponent;

  auto put = [&](const char* from, int n) {
    std::memcpy(o, from, static_cast<std::size_t>(n));
    o += n;
  };
  if (exponent >= 0 && exponent <= 15) {
    int whole = exponent + 1;
    if (count <= whole) {
      put(digits, count);
      for (int k = count; k < whole; ++k) *o++ = '0';
      put(".0", 2);
    } else {
      put(digits, whole);
      *o++ = '.';
      put(digits + whole, count - whole);
    }
  } else if (exponent < 0 && exponent >= -5) {
    put("0.", 2);
    for (int k = 0; k < -exponent - 1; ++k) *o++ = '0';
    put(digits, count);
  } else {
    *o++ = digits[0];
    if (count > 1) {
      *o++ = '.';
      put(digits + 1, count - 1);
    }
    *o++ = 'e';
    *o++ = exponent < 0 ? '-' : '+';
    auto [exp_end, exp_ec] =
        std::to_chars(o, out + kMaxFloatText, exponent < 0 ? -exponent : exponent);
    QV_ASSERT(exp_ec == std::errc{}, "a three-digit exponent fits");
    o = exp_end;
  }
  return static_cast<std::size_t>(o - out);
}

}  // namespace quorvane::json
