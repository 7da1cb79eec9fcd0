// categorizer/trie.h: the trie of a pattern set with its failure links, states numbered
// breadth-first: what every walk of the automaton is built from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvane::categorizer {

/// The Aho-Corasick trie of byte patterns, pattern i having priority i. States are
/// numbered breadth-first: the root is 0, shallower states come first, and the children
/// of a state are consecutive ids in byte order, so a state's edges are a range.
/// ASCII capitals in the patterns are read as small letters.
struct Trie {
  static constexpr std::uint32_t kNone = UINT32_MAX;

  explicit Trie(const std::vector<std::string>& patterns);

  std::size_t size() const noexcept { return best.size(); }

  /// The child of `state` along `byte`, or kNone.
  std::uint32_t child(std::uint32_t state, std::uint8_t byte) const noexcept;

  /// The state after reading `byte` in `state`: the child along it, or that of the
  /// longest suffix state that has one, or the root.
  std::uint32_t next(std::uint32_t state, std::uint8_t byte) const noexcept;

  /// Index of the first empty pattern, kNone if none; how many patterns are empty.
  std::uint32_t empty = kNone;
  std::uint32_t empty_count = 0;
  /// Per pattern: its length in bytes.
  std::vector<std::size_t> lengths;

  // Per state (children[s] to children[s + 1] are the children of s; one more entry).
  std::vector<std::uint32_t> children;
  std::vector<std::uint8_t> byte_in;  // the byte of the edge into the state
  std::vector<std::uint32_t> fail;    // the longest proper suffix that is a state
  // The smallest pattern index ending here or at any suffix state, or kNone.
  std::vector<std::uint32_t> best;
  // How many patterns end exactly here, and the longest proper suffix state where some
  // pattern ends (kNone if none).
  std::vector<std::uint32_t> ends;
  std::vector<std::uint32_t> out;
  /// The root's transitions, by byte.
  std::array<std::uint32_t, 256> root{};
};

}  // namespace quorvane::categorizer
