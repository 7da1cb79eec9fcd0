// json/write.h: writing records as compact JSON, from their declarations.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <type_traits>

#include "cat.h"
#include "json/writer.h"
#include "record.h"

namespace quorvane::json {

template <class T>
void write_value(Buffer& out, const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    write_string(out, value);
  } else if constexpr (std::is_same_v<T, double>) {
    write_float(out, value);
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    write_integer(out, static_cast<std::int64_t>(value));
  } else if constexpr (std::is_integral_v<T>) {
    write_integer(out, static_cast<std::uint64_t>(value));
  } else if constexpr (record::IsOptional<T>::value) {
    if (value) {
      write_value(out, *value);
    } else {
      out.append("null");
    }
  } else if constexpr (record::IsVector<T>::value || record::IsArray<T>::value) {
    out.push('[');
    bool first = true;
    for (const auto& element : value) {
      if (!first) out.push(',');
      first = false;
      write_value(out, element);
    }
    out.push(']');
  } else if constexpr (record::RecordType<T>) {
    // Each field's key, written as one piece with the comma before it: ,"name":
    static const auto keys = [] {
      std::array<std::string, record::kFieldCount<T>> texts;
      for (std::size_t i = 0; i < texts.size(); ++i) {
        texts[i] = cat(",\"", record::kFieldNames<T>[i], "\":");
      }
      return texts;
    }();
    out.push('{');
    std::size_t index = 0;
    bool first = true;
    record::all_fields<T>([&](const auto& field) {
      std::string_view key = keys[index++];
      const auto& member = value.*field.member;
      if constexpr (record::IsOptional<std::decay_t<decltype(member)>>::value) {
        if (field.presence == record::Presence::kOmittedWhenAbsent && !member) return true;
      }
      out.append(first ? key.substr(1) : key);
      first = false;
      write_value(out, member);
      return true;
    });
    out.push('}');
  } else if constexpr (record::EnumType<T>) {
    write_string(out, record::variant_name(value));
  } else if constexpr (record::TextType<T>) {
    std::string text;
    record::TextForm<T>::format(value, text);
    write_string(out, text);
  } else {
    static_assert(sizeof(T) == 0, "this type cannot be written as JSON");
  }
}

}  // namespace quorvane::json
