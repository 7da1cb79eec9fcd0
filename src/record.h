// record.h: how a record declares its fields, once, for every channel that carries it.
//
// Each record type R specialises Schema<R> next to its definition: its name and a tuple
// of fields in declared order, each with its serialised name, its member and what
// happens when it is absent. The JSON reader and writer and the Python decoder and
// encoder are generic over these declarations, so the two forms cannot disagree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "cat.h"
#include "result.h"

namespace quorvane::record {

/// What a field does when its key is absent (or, where allowed, null).
enum class Presence : std::uint8_t {
  kRequired,           // absent fails with "missing field"
  kOptional,           // std::optional member: absent or null reads as empty, written as null
  kOmittedWhenAbsent,  // like kOptional, but an empty value is left out when written
  kDefaulted,          // absent keeps the member's initial value; null is a type error
};

template <class R, class T>
struct Field {
  using Record = R;
  using Type = T;
  std::string_view name;  // serialised name, the same in both forms
  T R::*member;
  Presence presence;
};

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class R, class T>
constexpr Field<R, T> required(std::string_view name, T R::*member) {
  static_assert(!IsOptional<T>::value, "a required field is not std::optional");
  return {name, member, Presence::kRequired};
}
template <class R, class T>
constexpr Field<R, T> optional(std::string_view name, T R::*member) {
  static_assert(IsOptional<T>::value, "an optional field is a std::optional");
  return {name, member, Presence::kOptional};
}
template <class R, class T>
constexpr Field<R, T> omitted_when_absent(std::string_view name, T R::*member) {
  static_assert(IsOptional<T>::value, "an omitted-when-absent field is a std::optional");
  return {name, member, Presence::kOmittedWhenAbsent};
}
template <class R, class T>
constexpr Field<R, T> defaulted(std::string_view name, T R::*member) {
  static_assert(!IsOptional<T>::value, "a defaulted field takes its member's initial value");
  return {name, member, Presence::kDefaulted};
}

/// Specialised for each record: `static constexpr std::string_view name` and
/// `static constexpr std::tuple fields`.
template <class R>
struct Schema;

/// Specialised for each enumeration without payload: `static constexpr std::array names`,
/// indexed by the enumerator's value, holding the serialised variant names.
template <class E>
struct EnumSchema;

/// Specialised for values carried as text ("2024-03"): `static Result<T, std::string>
/// parse(std::string_view)` and `static void format(const T&, std::string&)`.
template <class T>
struct TextForm;

template <class T>
concept RecordType = requires {
  Schema<T>::fields;
};
template <class T>
concept EnumType = std::is_enum_v<T> && requires {
  EnumSchema<T>::names;
};
template <class T>
concept TextType = requires(std::string_view text) {
  TextForm<T>::parse(text);
};

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};

template <class T>
struct IsArray : std::false_type {};
template <class T, std::size_t N>
struct IsArray<std::array<T, N>> : std::true_type {};

template <RecordType R>
inline constexpr std::size_t kFieldCount = std::tuple_size_v<decltype(Schema<R>::fields)>;

/// Calls f(field) for each field of R in declared order; stops at the first call that
/// returns false and returns false then.
template <RecordType R, class F>
constexpr bool all_fields(F&& f) {
  return std::apply([&](const auto&... field) { return (f(field) && ...); }, Schema<R>::fields);
}

/// Calls f(field) for the field at `index` of R and returns its result.
template <RecordType R, class F>
constexpr bool with_field(std::size_t index, F&& f) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    bool result = false;
    // Stops at the matching index; the fold's own value is not needed.
    static_cast<void>(
        ((index == I ? (result = f(std::get<I>(Schema<R>::fields)), true) : false) || ...));
    return result;
  }
  (std::make_index_sequence<kFieldCount<R>>{});
}

/// The serialised field names of R, in declared order.
template <RecordType R>
inline constexpr auto kFieldNames = std::apply(
    [](const auto&... field) {
      return std::array<std::string_view, sizeof...(field)>{field.name...};
    },
    Schema<R>::fields);

/// Presence of each field of R, in declared order.
template <RecordType R>
inline constexpr auto kPresence = std::apply(
    [](const auto&... field) { return std::array<Presence, sizeof...(field)>{field.presence...}; },
    Schema<R>::fields);

/// Index of the field named `key`, or -1.
template <RecordType R>
constexpr int field_index(std::string_view key) noexcept {
  for (std::size_t i = 0; i < kFieldNames<R>.size(); ++i) {
    std::string_view name = kFieldNames<R>[i];
    // The length and first letter settle most mismatches without a call to memcmp.
    if (name.size() == key.size() && (key.empty() || name[0] == key[0]) && name == key) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

/// "struct Name": what a reader expected when it finds another kind of value.
template <RecordType R>
std::string expecting() {
  return cat("struct ", Schema<R>::name);
}

/// "struct Name with N elements": the expected shape of the positional form.
template <RecordType R>
std::string positional() {
  constexpr std::size_t n = kFieldCount<R>;
  return cat(expecting<R>(), " with ", std::to_string(n), n == 1 ? " element" : " elements");
}

/// Serialised name of an enumerator.
template <EnumType E>
constexpr std::string_view variant_name(E value) {
  return EnumSchema<E>::names[static_cast<std::size_t>(value)];
}

/// Looks up an enumerator by its serialised name.
template <EnumType E>
std::optional<E> variant_named(std::string_view name) {
  const auto& names = EnumSchema<E>::names;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) return static_cast<E>(i);
  }
  return std::nullopt;
}

/// The variant names as a reader lists them after "unknown variant": "`a`",
/// "`a` or `b`", or "one of `a`, `b`, `c`".
inline std::string variant_list(const std::string_view* names, std::size_t count) {
  auto quoted = [](std::string_view name) { return cat("`", name, "`"); };
  if (count == 1) return quoted(names[0]);
  if (count == 2) return cat(quoted(names[0]), " or ", quoted(names[1]));
  std::string out = "one of ";
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += ", ";
    out += quoted(names[i]);
  }
  return out;
}

}  // namespace quorvane::record
