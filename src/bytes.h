// bytes.h: words of eight bytes: unaligned loads and stores, the masks that test all
// eight bytes at once, and ASCII lower-casing.
//
// A word holds bytes in memory order on a little-endian machine: the byte at p[i] is
// bits 8i to 8i+7 of the word loaded from p. The flagged-byte searches and the token
// heads of derivation rely on this; it is asserted here, once.
#pragma once

#include <bit>  // std::countr_zero, std::endian
#include <cstddef>
#include <cstdint>
#include <cstring>  // std::memcpy

namespace quorvane::bytes {

static_assert(std::endian::native == std::endian::little,
              "words are loaded little-endian: the first byte in memory is the lowest");

/// 0x01 in every byte: multiplied by a byte, that byte in every position.
inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
/// The high bit of every byte; a byte is ASCII iff its bit is clear.
inline constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

/// Eight bytes at `at`, any alignment.
inline std::uint64_t load64(const char* at) noexcept {
  std::uint64_t word;
  std::memcpy(&word, at, 8);
  return word;
}

/// Four bytes at `at`, any alignment, as the low half of a word.
inline std::uint64_t load32(const char* at) noexcept {
  std::uint32_t word;
  std::memcpy(&word, at, 4);
  return word;
}

/// Writes the eight bytes of `word` at `at`, any alignment.
inline void store64(char* at, std::uint64_t word) noexcept { std::memcpy(at, &word, 8); }

/// Index, in memory order, of the first byte whose high bit is set in `flags` (non-zero).
inline std::size_t first_flagged(std::uint64_t flags) noexcept {
  return static_cast<std::size_t>(std::countr_zero(flags) >> 3);
}

/// `c` with an ASCII capital made small; every other byte unchanged.
inline char lower_ascii(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c;
}

/// Lower-cases the ASCII capitals of a word whose eight bytes are all below 0x80.
inline std::uint64_t lower_ascii_word(std::uint64_t word) noexcept {
  // With every byte below 0x80 neither sum carries into the next byte, so the high bit of a
  // byte of `at_least_a` is set iff the byte is >= 'A', and of `above_z` iff it is > 'Z'.
  const std::uint64_t at_least_a = word + kOnes * (0x80 - 'A');
  const std::uint64_t above_z = word + kOnes * (0x80 - 'Z' - 1);
  // Capitals differ in that bit; 0x80 >> 2 is the 0x20 case bit.
  return word | (((at_least_a ^ above_z) & kHighBits) >> 2);
}

}  // namespace quorvane::bytes
