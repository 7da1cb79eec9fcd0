// tests/fuzz/fuzz_json.cpp: the JSON request readers: read, write, read again.
//
// Each input is read as every request type in turn (most texts fail early for all but
// one). A request that is read must be written as valid UTF-8 and read back to the same
// record: its second writing equals the first byte for byte, which compares every field
// (floats are written in their shortest round-trip digits). A failure must point inside
// the text and carry a message.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "categorizer/model.h"
#include "emi/model.h"
#include "fuzz_check.h"
#include "json/read.h"
#include "json/write.h"

namespace {

using namespace quorvane;

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
  json::Buffer rewritten;
  json::write_value(rewritten, second.value());
  QV_FUZZ_CHECK(rewritten.view() == written.view());
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
