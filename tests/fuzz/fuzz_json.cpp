// tests/fuzz/fuzz_json.cpp: the JSON request readers: read, write, read again.
//
// Each input is read as every request type in turn (most texts fail early for all but
// one). A request that is read must be written as valid UTF-8 and read back to the same
// record, field by field. Floats are the one allowance: the writer gives the shortest
// digits that a correctly rounded reading turns back into the same float, but the reader
// rounds by its own fixed rule (json/number.h), exact only for up to 15 significant digits
// and exponents up to 22, so a float written with more digits may read back a few units in
// the last place away. A failure must point inside the text and carry a message.
#include <bit>    // std::bit_cast
#include <cmath>  // std::isfinite, std::signbit
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "categorizer/model.h"
#include "emi/model.h"
#include "fuzz_check.h"
#include "json/read.h"
#include "json/write.h"

namespace {

using namespace quorvane;

// Units in the last place that a float may move when written and read again: the shortest
// digits lie within half a unit of it, and reading rounds the digits, the power of ten and
// their product by half a unit each. Seen: 2 units (about one float in five of all bit
// patterns moves by 1 or 2).
constexpr std::uint64_t kMaxUlps = 4;

bool same_float(double a, double b) {
  const auto x = std::bit_cast<std::uint64_t>(a);
  const auto y = std::bit_cast<std::uint64_t>(b);
  if (x == y) return true;
  // Finite floats of one sign are ordered as their bit patterns.
  if (!std::isfinite(a) || !std::isfinite(b) || std::signbit(a) != std::signbit(b)) return false;
  return (x > y ? x - y : y - x) <= kMaxUlps;
}

// Field-by-field equality over the record declarations, as json/write.h walks them.
template <class T>
bool same(const T& a, const T& b) {
  if constexpr (std::is_same_v<T, double>) {
    return same_float(a, b);
  } else if constexpr (record::IsOptional<T>::value) {
    return a.has_value() == b.has_value() && (!a || same(*a, *b));
  } else if constexpr (record::IsVector<T>::value) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!same(a[i], b[i])) return false;
    }
    return true;
  } else if constexpr (record::RecordType<T>) {
    return record::all_fields<T>(
        [&](const auto& field) { return same(a.*field.member, b.*field.member); });
  } else {
    return a == b;  // texts, integers, enumerations, text forms
  }
}

template <class R>
void round_trip(std::string_view text) {
  auto first = json::read_request<R>(text);
  if (!first) {
    const auto& failure = first.error();
    QV_FUZZ_CHECK(failure.offset <= text.size());
    const std::string shown = failure.display(text);
    // An empty message would leave the text starting with the position.
    QV_FUZZ_CHECK(!shown.empty() && shown.front() != ' ');
    return;
  }
  json::Buffer written;
  json::write_value(written, first.value());
  QV_FUZZ_CHECK(fuzz::valid_utf8(written.view()));

  auto second = json::read_request<R>(written.view());
  QV_FUZZ_CHECK(second);
  QV_FUZZ_CHECK(same(first.value(), second.value()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // Requests reach the reader as UTF-8 encoded from a Python str, so always well-formed;
  // anything else is outside the reader's contract. -1 keeps it out of the corpus.
  if (!fuzz::valid_utf8(text)) return -1;
  round_trip<categorizer::CategorizeRequest>(text);
  round_trip<categorizer::DeriveRulesRequest>(text);
  round_trip<emi::EmiRequest>(text);
  return 0;
}
