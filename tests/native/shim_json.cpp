// tests/native/shim_json.cpp: C entry points that exercise the JSON channel on a probe
// record holding every kind of field a record may declare.
#include <algorithm>  // std::min
#include <cstdint>
#include <cstring>  // std::memcpy
#include <optional>
#include <string>
#include <vector>

#include "json/number.h"
#include "json/read.h"
#include "json/write.h"

namespace probe {

enum class Shape { kCircle, kSquare, kRoundedBox };

struct Point {
  double x = 0;
  double y = 0;
};

struct Probe {
  Shape shape{};
  std::optional<double> size;
  std::optional<std::uint32_t> count;
  double weight = 0;
  double scale = 1.0;
  std::optional<Point> origin;
  std::optional<std::string> label;
  std::vector<std::string> tags;
};

}  // namespace probe

namespace quorvane::record {

template <>
struct EnumSchema<probe::Shape> {
  static constexpr std::array<std::string_view, 3> names{"circle", "square", "roundedBox"};
};

template <>
struct Schema<probe::Point> {
  using R = probe::Point;
  static constexpr std::string_view name = "Point";
  static constexpr std::tuple fields{required("x", &R::x), required("y", &R::y)};
};

template <>
struct Schema<probe::Probe> {
  using R = probe::Probe;
  static constexpr std::string_view name = "Probe";
  static constexpr std::tuple fields{
      required("shape", &R::shape),
      optional("size", &R::size),
      optional("count", &R::count),
      required("weight", &R::weight),
      defaulted("scale", &R::scale),
      optional("origin", &R::origin),
      omitted_when_absent("label", &R::label),
      defaulted("tags", &R::tags),
  };
};

}  // namespace quorvane::record

namespace {

std::size_t copy_out(std::string_view text, char* out, std::size_t cap) {
  std::memcpy(out, text.data(), std::min(cap, text.size()));
  return text.size();
}

}  // namespace

extern "C" {

/// Reads `text` as a Probe and writes it back as compact JSON into `out`; on failure
/// writes the failure's display text instead and sets *failed. Returns the full length.
std::size_t qv_probe_json(const char* text, std::size_t n, char* out, std::size_t cap,
                          int* failed) {
  std::string_view input(text, n);
  auto probe = quorvane::json::read_request<probe::Probe>(input);
  *failed = probe ? 0 : 1;
  if (!probe) return copy_out(probe.error().display(input), out, cap);
  quorvane::json::Buffer buffer;
  quorvane::json::write_value(buffer, probe.value());
  return copy_out(buffer.view(), out, cap);
}

/// Writes `value` as a result float is written; `out` holds at least 32 bytes.
std::size_t qv_format_float(double value, char* out) {
  quorvane::json::Buffer buffer;
  quorvane::json::write_float(buffer, value);
  return copy_out(buffer.view(), out, 32);
}

/// Writes `text` as a result string is written.
std::size_t qv_write_string(const char* text, std::size_t n, char* out, std::size_t cap) {
  quorvane::json::Buffer buffer;
  quorvane::json::write_string(buffer, std::string_view(text, n));
  return copy_out(buffer.view(), out, cap);
}

}  // extern "C"
