// json/writer.h: the growable byte buffer that compact JSON is written into.
#pragma once

#include <charconv>  // std::to_chars
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvane::json {

/// A growable byte buffer; its first capacity is 128 bytes and it grows by doubling
/// with realloc, so a large buffer can grow in place. Throws std::bad_alloc when memory
/// runs out.
class Buffer {
 public:
  Buffer();
  ~Buffer();
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  void append(std::string_view bytes) {
    char* at = reserve(bytes.size());
    if (!bytes.empty()) __builtin_memcpy(at, bytes.data(), bytes.size());
    size_ += bytes.size();
  }
  void push(char c) {
    *reserve(1) = c;
    ++size_;
  }
  /// Room for `n` more bytes at the end; commit() what was written there.
  char* reserve(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_ + size_;
  }
  void commit(std::size_t n) noexcept { size_ += n; }
  std::string_view view() const noexcept { return {data_, size_}; }

 private:
  void grow(std::size_t n);

  char* data_;
  std::size_t size_ = 0;
  std::size_t capacity_;
};

/// Writes `text` as a JSON string: quotes, backslash escapes for the quote, the
/// backslash and control bytes; everything else unchanged.
void write_string(Buffer& out, std::string_view text);
/// Writes a float in its shortest round-trip form, or null when it is not finite.
void write_float(Buffer& out, double value);
template <class Integer>
void write_integer(Buffer& out, Integer value) {
  constexpr std::size_t kDigits = 20;  // the longest 64-bit integer, sign included
  char* at = out.reserve(kDigits);
  out.commit(static_cast<std::size_t>(std::to_chars(at, at + kDigits, value).ptr - at));
}

}  // namespace quorvane::json
