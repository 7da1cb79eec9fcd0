// categorizer/text_arena.h: copies of many short texts at addresses that never move.
#pragma once

#include <algorithm>  // std::max
#include <cstring>    // std::memcpy
#include <memory>
#include <string_view>
#include <vector>

namespace quorvane::categorizer {

/// Keeps copies of texts in blocks that are added but never moved, so a view of a copy
/// stays valid for as long as the arena lives.
class TextArena {
 public:
  std::string_view copy(std::string_view text) {
    if (text.size() > left_) {
      std::size_t size = std::max(kBlockBytes, text.size());
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
      next_ = blocks_.back().get();
      left_ = size;
    }
    if (!text.empty()) std::memcpy(next_, text.data(), text.size());
    std::string_view copied(next_, text.size());
    next_ += text.size();
    left_ -= text.size();
    return copied;
  }

 private:
  static constexpr std::size_t kBlockBytes = std::size_t{1} << 16;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  std::size_t left_ = 0;
};

}  // namespace quorvane::categorizer
