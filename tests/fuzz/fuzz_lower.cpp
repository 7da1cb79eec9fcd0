// tests/fuzz/fuzz_lower.cpp: lower-casing against a code-point-at-a-time reference.
//
// Any bytes may be lowered without a fault. Well-formed UTF-8 must give well-formed UTF-8,
// equal to the reference: decode strictly, map each code point through the generated
// tables (looked up here, not through src/unicode), apply the Final_Sigma rule as
// CPython's str.lower() does, encode. The text is also appended after a non-empty prefix,
// which must be kept, and the answer must not depend on it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "unicode/lower.h"
#include "unicode/tables.inc"

namespace {

namespace tables = quorvane::unicode::tables;

std::uint32_t record_of(char32_t cp) {
  constexpr unsigned kShift2 = tables::kStage2Shift;
  constexpr unsigned kShift3 = tables::kStage3Shift;
  const std::uint32_t block2 = tables::kStage1[cp >> (kShift2 + kShift3)];
  const std::uint32_t block3 =
      tables::kStage2[block2 << kShift2 | ((cp >> kShift3) & ((1u << kShift2) - 1))];
  return tables::kRecords[tables::kStage3[block3 << kShift3 | (cp & ((1u << kShift3) - 1))]];
}

bool cased(char32_t cp) { return (record_of(cp) & tables::kFlagCased) != 0; }
bool case_ignorable(char32_t cp) { return (record_of(cp) & tables::kFlagCaseIgnorable) != 0; }

void append_code_point(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Final_Sigma at `at`: past the case-ignorable code points on either side, a cased one
// comes before and none after (CPython's handle_capital_sigma).
bool final_sigma(const std::vector<char32_t>& cps, std::size_t at) {
  std::size_t j = at;
  while (j > 0 && case_ignorable(cps[j - 1])) --j;
  if (j == 0 || !cased(cps[j - 1])) return false;
  j = at + 1;
  while (j < cps.size() && case_ignorable(cps[j])) ++j;
  return j == cps.size() || !cased(cps[j]);
}

std::string reference_lower(const std::vector<char32_t>& cps) {
  std::string out;
  for (std::size_t i = 0; i < cps.size(); ++i) {
    const char32_t cp = cps[i];
    if (cp == 0x03A3) {
      append_code_point(final_sigma(cps, i) ? 0x03C2 : 0x03C3, out);
      continue;
    }
    const std::uint32_t rec = record_of(cp);
    const auto payload = static_cast<std::int32_t>(rec) >> tables::kPayloadShift;
    if ((rec & tables::kLowerIsSequence) == 0) {
      append_code_point(static_cast<char32_t>(static_cast<std::int32_t>(cp) + payload), out);
    } else {
      const std::uint32_t length = rec >> tables::kLowerLengthShift & 7;
      for (std::uint32_t k = 0; k < length; ++k) {
        append_code_point(tables::kLowerPool[static_cast<std::uint32_t>(payload) + k], out);
      }
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string lowered;
  quorvane::unicode::append_lower(text, lowered);

  std::vector<char32_t> cps;
  if (!quorvane::fuzz::decode_strict(text, cps)) return 0;  // only the absence of faults
  QV_FUZZ_CHECK(quorvane::fuzz::valid_utf8(lowered));
  QV_FUZZ_CHECK(lowered == reference_lower(cps));

  // The prefix is a Greek capital letter, so it is cased: a sigma at the start of the text
  // must still be judged on the text alone.
  const std::string prefix = "\xCE\x91";
  std::string appended = prefix;
  quorvane::unicode::append_lower(text, appended);
  QV_FUZZ_CHECK(appended.size() == prefix.size() + lowered.size());
  QV_FUZZ_CHECK(std::string_view(appended).substr(0, prefix.size()) == prefix);
  QV_FUZZ_CHECK(std::string_view(appended).substr(prefix.size()) == lowered);
  return 0;
}
