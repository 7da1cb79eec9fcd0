// unicode/classes.cpp: Character-class and lower-case lookups over the generated UCD tables.
#include "unicode/classes.h"

#include <cstdint>

#include "unicode/utf8.h"

// The only translation unit that includes the generated data.
#include "unicode/tables.inc"

namespace quorvane::unicode {

namespace {

static_assert(tables::kMaxLowerLength <= detail::kMaxLowerLength,
              "regenerated tables hold longer lower-case mappings than kMaxLowerLength");

constexpr char32_t kMaxCodePoint = 0x10FFFF;

/// Record of `cp` from the three-stage trie (layout described in tables.inc).
/// Values above U+10FFFF get the empty record: no flags, identity mapping.
inline std::uint32_t record(char32_t cp) noexcept {
  if (cp > kMaxCodePoint) return 0;
  constexpr unsigned kShift2 = tables::kStage2Shift;
  constexpr unsigned kShift3 = tables::kStage3Shift;
  constexpr char32_t kMask2 = (char32_t{1} << kShift2) - 1;
  constexpr char32_t kMask3 = (char32_t{1} << kShift3) - 1;
  const std::uint32_t block2 = tables::kStage1[cp >> (kShift2 + kShift3)];
  const std::uint32_t block3 = tables::kStage2[block2 << kShift2 | ((cp >> kShift3) & kMask2)];
  return tables::kRecords[tables::kStage3[block3 << kShift3 | (cp & kMask3)]];
}

inline bool has_flag(char32_t cp, std::uint32_t flag) noexcept { return (record(cp) & flag) != 0; }

}  // namespace

bool detail::is_alnum_table(char32_t cp) noexcept { return has_flag(cp, tables::kFlagAlnum); }

bool is_printable(char32_t cp) noexcept {
  if (cp < 0x80) return cp >= 0x20 && cp < 0x7F;
  return has_flag(cp, tables::kFlagPrintable);
}

bool is_cased(char32_t cp) noexcept { return has_flag(cp, tables::kFlagCased); }

bool is_case_ignorable(char32_t cp) noexcept { return has_flag(cp, tables::kFlagCaseIgnorable); }

std::string_view ucd_version() noexcept { return tables::kUcdVersion; }

char* detail::write_lower_utf8(char32_t cp, char* dst) noexcept {
  const std::uint32_t rec = record(cp);
  if ((rec & tables::kLowerIsSequence) == 0) {
    // The payload is a signed 24-bit delta in the top bits; an arithmetic shift recovers it.
    const auto delta = static_cast<std::int32_t>(rec) >> tables::kPayloadShift;
    return encode_utf8(static_cast<char32_t>(static_cast<std::int32_t>(cp) + delta), dst);
  }
  const char32_t* seq = tables::kLowerPool + (rec >> tables::kPayloadShift);
  const char32_t* const seq_end = seq + ((rec >> tables::kLowerLengthShift) & 7);
  for (; seq != seq_end; ++seq) dst = encode_utf8(*seq, dst);
  return dst;
}

}  // namespace quorvane::unicode
