// json/read.h: reading a JSON text straight into records, from their declarations.
#pragma once

#include <algorithm>  // std::max, std::min
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/reader.h"
#include "record.h"
#include "result.h"

namespace quorvane::json {

using Fault = DecodeFault;

namespace detail {

bool read_text(Reader& r, std::string& out);
bool read_f64(Reader& r, double& out);
bool read_u32(Reader& r, std::uint32_t& out);
/// Reads an enumeration without payload: a string holding a variant name, or an object
/// whose one key is the name and whose value is null. Returns the variant's index or -1.
int read_variant(Reader& r, const std::string_view* names, std::size_t count);

}  // namespace detail

template <class T>
bool read_value(Reader& r, T& out);

template <record::RecordType R>
bool read_record(Reader& r, R& out) {
  using record::Presence;
  constexpr std::size_t kCount = record::kFieldCount<R>;
  // Reads the field at `index`; a failure inside it is placed under the field's name.
  auto read_field = [&](std::size_t index) {
    bool read = record::with_field<R>(
        index, [&](const auto& field) { return read_value(r, out.*field.member); });
    return read || r.failure().in_field(record::kFieldNames<R>[index]);
  };

  int c = r.peek_ws();
  if (c == '{') {
    if (!r.open()) return false;
    std::array<bool, kCount> seen{};
    bool first = true;
    for (;;) {
      std::string_view key;
      int next = r.next_key(first, &key);
      if (next < 0) return false;
      if (next == 0) break;
      int index = record::field_index<R>(key);
      if (index < 0) {
        if (!r.colon() || !r.skip()) return false;
        continue;
      }
      auto i = static_cast<std::size_t>(index);
      if (seen[i]) {
        r.fail_in_object(Fault::kDuplicateField, record::kFieldNames<R>[i]);
        return r.failure().in_field(record::kFieldNames<R>[i]);
      }
      if (!r.colon() || !read_field(i)) return false;
      seen[i] = true;
    }
    for (std::size_t i = 0; i < kCount; ++i) {
      if (!seen[i] && record::kPresence<R>[i] == Presence::kRequired) {
        return r.fail_in_object(Fault::kMissingField, record::kFieldNames<R>[i]);
      }
    }
    r.close();
    return true;
  }
  if (c == '[') {
    // The positional form: field values in declared order. Fields cut off from the end
    // keep their defaults unless they are required.
    if (!r.open()) return false;
    bool first = true;
    bool ended = false;
    for (std::size_t i = 0; i < kCount; ++i) {
      if (!ended) {
        int next = r.next_element(first);
        if (next < 0) return false;
        ended = next == 0;
      }
      if (ended) {
        if (record::kPresence<R>[i] != Presence::kRequired) continue;
        return r.fail_in_array(std::to_string(i), record::positional<R>());
      }
      if (!read_field(i)) return false;
    }
    return r.end_positional();
  }
  if (c == Reader::kEnd) return r.fail_peek(Fault::kEofValue);
  return r.invalid_type(record::expecting<R>());
}

template <class T>
bool read_list(Reader& r, std::vector<T>& out) {
  int c = r.peek_ws();
  if (c == '[') {
    if (!r.open()) return false;
    bool first = true;
    for (;;) {
      int next = r.next_element(first);
      if (next < 0) return false;
      if (next == 0) break;
      std::size_t start = r.offset();
      if (!read_value(r, out.emplace_back())) return r.failure().at_index(out.size() - 1);
      if (out.size() == 1) {
        // Requests are mostly one long list of like elements: room for as many as the
        // rest of the text could hold at the first one's size spares copying a large
        // list as it grows. Bounded by the text, and only touched as it fills.
        std::size_t size = std::max<std::size_t>(r.offset() - start, 1);
        std::size_t room = std::min(r.remaining() / size, 4 * r.remaining() / sizeof(T));
        out.reserve(1 + room);
      }
    }
    r.close();
    return true;
  }
  if (c == Reader::kEnd) return r.fail_peek(Fault::kEofValue);
  return r.invalid_type("a sequence");
}

template <class T>
bool read_value(Reader& r, T& out) {
  if constexpr (std::is_same_v<T, std::string>) {
    return detail::read_text(r, out);
  } else if constexpr (std::is_same_v<T, double>) {
    return detail::read_f64(r, out);
  } else if constexpr (std::is_same_v<T, std::uint32_t>) {
    return detail::read_u32(r, out);
  } else if constexpr (record::IsOptional<T>::value) {
    if (r.peek_ws() == 'n') {
      r.bump();
      out.reset();
      return r.literal("ull");
    }
    return read_value(r, out.emplace());
  } else if constexpr (record::IsVector<T>::value) {
    return read_list(r, out);
  } else if constexpr (record::RecordType<T>) {
    return read_record(r, out);
  } else if constexpr (record::EnumType<T>) {
    const auto& names = record::EnumSchema<T>::names;
    int index = detail::read_variant(r, names.data(), names.size());
    if (index < 0) return false;
    out = static_cast<T>(index);
    return true;
  } else if constexpr (record::TextType<T>) {
    std::string text;
    if (!detail::read_text(r, text)) return false;
    auto parsed = record::TextForm<T>::parse(text);
    if (!parsed) return r.fail(Fault::kBadText, parsed.error());
    out = std::move(parsed).value();
    return true;
  } else {
    static_assert(sizeof(T) == 0, "this type cannot be read from JSON");
  }
}

/// Reads the whole of `text` as one record R.
template <record::RecordType R>
Result<R, DecodeFailure> read_request(std::string_view text) {
  Reader r(text);
  R out{};
  if (!read_record(r, out)) return r.take_failure();
  if (r.peek_ws() != Reader::kEnd) {
    r.fail_peek(Fault::kTrailingCharacters);
    return r.take_failure();
  }
  return out;
}

}  // namespace quorvane::json
