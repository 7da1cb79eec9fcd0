// json/reader.h: single-pass JSON tokenizer over UTF-8 bytes, with failure positions.
//
// The reader knows JSON syntax but nothing of records: json/read.h drives it to read
// values straight into records. Every operation returns false on failure, after
// recording the failure's message and byte offset; the caller then stops and returns
// false too, so the first failure is the one reported.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "decode_failure.h"
#include "json/number.h"

namespace quorvane::json {

class Reader {
 public:
  static constexpr int kEnd = -1;
  /// Arrays and objects open at once, counting those inside skipped values.
  static constexpr int kMaxDepth = 128;

  /// Reads `text`, which must be well-formed UTF-8 and outlive the reader.
  explicit Reader(std::string_view text) noexcept;

  // MARK: position

  /// Skips whitespace and returns the next byte, or kEnd.
  int peek_ws() noexcept;
  void bump() noexcept { ++p_; }
  std::size_t offset() const noexcept { return static_cast<std::size_t>(p_ - begin_); }
  /// Bytes not read yet.
  std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - p_); }

  // MARK: failures (each returns false)

  /// Fails at the bytes taken so far; `subject` and `expected` as the kind needs them.
  bool fail(DecodeFault kind, std::string subject = {}, std::string_view expected = {});
  /// Fails on the byte just looked at: the position includes it.
  bool fail_peek(DecodeFault kind, std::string subject = {}, std::string_view expected = {});
  /// Fails in a record read from an object, once its reading has stopped: the closing
  /// brace, when it comes next, counts as read.
  bool fail_in_object(DecodeFault kind, std::string_view field);
  /// The same for a record read from an array: a closing bracket, or a comma and the
  /// whitespace after it, count as read.
  bool fail_in_array(std::string subject, std::string_view expected);
  /// Fails with an invalid-type failure naming the scalar that is here, which it reads.
  bool invalid_type(std::string_view expected);
  /// The failure recorded, for a caller to add where it happened (see DecodeFailure).
  DecodeFailure& failure() noexcept { return failure_; }
  DecodeFailure take_failure() noexcept { return std::move(failure_); }

  // MARK: containers

  /// At '[' or '{': takes one unit of the nesting budget and consumes the bracket.
  bool open();
  /// Consumes the closing bracket of the container opened last.
  void close() noexcept;
  /// Moves to the next array element: 1 when one follows, 0 at the closing bracket (not
  /// consumed), -1 on failure. `first` is true before the first element.
  int next_element(bool& first);
  /// Moves to the next object member and reads its key: 1 with `*key` set (a view that
  /// stays valid until the next string is read), 0 at the closing brace (not consumed),
  /// -1 on failure. With `key` null the key is only checked, not decoded.
  int next_key(bool& first, std::string_view* key);
  /// Reads the colon after a key.
  bool colon();
  /// Ends the positional form of a record after its last field.
  bool end_positional();

  // MARK: scalars

  /// After the opening quote: reads a string, decoding escapes, into `out` (appended).
  bool string(std::string& out);
  /// At '"': reads a string into scratch space; the view is valid until the next string.
  bool string_view(std::string_view& out);
  /// At '-' or a digit: reads a number token.
  bool number(Number& out);
  /// After the first letter of true, false or null: checks the remaining letters.
  bool literal(std::string_view rest);
  /// Reads and discards one complete value.
  bool skip();

 private:
  /// Reads a string body after its opening quote; with `out` null it is only checked.
  bool string_body(std::string* out);
  bool escape(std::string* out);
  bool hex4(unsigned& value);
  bool number_fraction(bool positive, std::uint64_t significand, std::int64_t exponent,
                       Number& out);
  bool number_exponent(bool positive, std::uint64_t significand, std::int64_t exponent,
                       Number& out);
  void float_result(bool positive, std::uint64_t significand, std::int64_t exponent, Number& out);

  const char* begin_;
  const char* p_;
  const char* end_;
  int depth_ = 0;
  std::string scratch_;
  DecodeFailure failure_;
};

}  // namespace quorvane::json
