// A pull reader over JSON text that decodes while it scans, so a semantic
// error met early wins over a syntax error further on.  Every error message
// ends with " at line L column C": L is 1-based, C is the number of bytes
// consumed on line L when the error was raised.
//
// Record readers are built from the typed reads below and read_record(),
// which accepts a record as an object (members in any order, unknown members
// skipped, duplicates and missing members reported) or as an array of the
// member values in declaration order.  A whole text is read with
// parse_json_document(), which also rejects anything but white space after
// the value.
//
// Type errors name what was found ("integer `5`", "floating point `8.0`",
// "string \"x\"", "boolean `true`", "null", "map", "sequence") and what was
// expected ("u32", "u64", "f64", "a string", "a boolean", "struct X",
// "enum X").  A scalar of the wrong type is consumed before the error is
// raised; an object or array is not.  Nesting deeper than 127 arrays and
// objects fails with "recursion limit exceeded", so hostile input cannot
// exhaust the stack.  After any error the reader must not be used again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/error.hpp"

namespace halvorn {

struct JsonMember;

// A parsed JSON value.  Numbers keep what they were: a non-negative integer
// (u64), a negative integer (i64) or anything else (double: a fraction, an
// exponent, -0, or an integer too large for 64 bits).  Objects keep their
// members in order, duplicates included.
struct JsonValue {
  using Array = std::vector<JsonValue>;
  using Object = std::vector<JsonMember>;
  std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, Array, Object>
      data;

  bool is_null() const noexcept { return std::holds_alternative<std::nullptr_t>(data); }
  const bool* as_bool() const noexcept { return std::get_if<bool>(&data); }
  const std::string* as_string() const noexcept { return std::get_if<std::string>(&data); }
  const Array* as_array() const noexcept { return std::get_if<Array>(&data); }
  const Object* as_object() const noexcept { return std::get_if<Object>(&data); }
  // Any number, integers converted to double; nothing for other values.
  std::optional<double> as_number() const noexcept;
  // The value of the last member named `key` (a later duplicate overrides an
  // earlier one); nothing when this is not an object or has no such member.
  const JsonValue* find(std::string_view key) const noexcept;
};

struct JsonMember {
  std::string key;
  JsonValue value;
};

// One member of a record, in declaration order.  A missing optional member
// is not an error; the caller keeps its default.
struct JsonField {
  std::string_view name;
  bool required = true;
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) noexcept : text_(text) {}

  Result<std::uint32_t> read_u32();
  Result<std::uint64_t> read_u64();
  // Any JSON number.
  Result<double> read_f64();
  Result<bool> read_bool();
  Result<std::string> read_string();
  // Consumes a null if one comes next and says whether it did; anything
  // else is left for the next read.
  Result<bool> read_null_if_present();
  // A string equal to one of `variants` (case-sensitive); gives its index.
  // Any other string fails with "unknown variant `x`, expected one of ...";
  // a value that is not a string fails as a type error naming
  // "enum {enum_name}" (e.g. "invalid type: integer `1`, expected enum
  // RuntimeKind").
  Result<std::size_t> read_variant(std::string_view enum_name,
                                   std::span<const std::string_view> variants);
  // Skips one value of any kind, checking its syntax (and its strings) as
  // strictly as a read would; numbers are not converted, so a skipped 1e999
  // is no error.
  Status skip_value();
  // Reads one value of any kind into a tree.
  Result<JsonValue> read_value();

  // Reads one record named `record_name` with the given members.
  // read_member(i) must read the value of fields[i]; it is called at most
  // once per member, in the order the members appear in the text.
  template <class ReadMember>
  Status read_record(std::string_view record_name, std::span<const JsonField> fields,
                     ReadMember&& read_member) {
    using F = std::remove_reference_t<ReadMember>;
    return read_record_impl(
        record_name, fields,
        [](void* f, std::size_t i) -> Status { return (*static_cast<F*>(f))(i); },
        const_cast<void*>(static_cast<const void*>(&read_member)));
  }

  // Succeeds when nothing but white space is left.
  Status finish();

  // An error with `message` at the current position, for a caller's own
  // checks of a value it has just read.
  Error error_here(std::string_view message) const;

 private:
  struct Number {
    enum class Kind { U64, I64, F64 } kind;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double f = 0;
  };

  using MemberThunk = Status (*)(void*, std::size_t);
  Status read_record_impl(std::string_view record_name, std::span<const JsonField> fields,
                          MemberThunk read_member, void* context);

  std::optional<char> peek_past_whitespace() noexcept;
  Error error_at(std::size_t index, std::string_view message) const;
  Error error_consumed(std::string_view message) const { return error_at(pos_, message); }
  Error error_peeked(std::string_view message) const;

  Status enter_nested();
  void leave_nested() noexcept { ++remaining_depth_; }
  Status expect_ident(std::string_view rest);
  Result<std::uint64_t> read_unsigned(std::uint64_t max, std::string_view expected);
  Status read_number(bool decode, Number* out);
  Status parse_number_after_sign(bool positive, bool decode, std::size_t start, Number* out);
  Status read_string_body(std::string& out);
  Status read_escape(std::string& out);
  Result<std::uint16_t> read_hex4();
  Result<bool> next_element(bool& first);
  Result<bool> next_key(bool& first);
  Status expect_colon();
  Status end_array();
  Status end_object();
  // After a record-level error: consume white space and the closing
  // bracket if it comes next, then report `message` where reading stopped.
  Error close_and_fail(char bracket, std::string_view message);
  Error invalid_type_next(std::string_view expected);
  Status read_any(JsonValue* out);

  std::string_view text_;
  std::size_t pos_ = 0;
  int remaining_depth_ = 128;
};

// Runs `read` on a reader over `text`, then requires that only white space
// follows.  `read` takes a JsonReader& and returns a Result.
template <class Read>
auto parse_json_document(std::string_view text, Read&& read)
    -> decltype(read(std::declval<JsonReader&>())) {
  JsonReader reader(text);
  auto value = read(reader);
  if (!value) return value;
  if (auto done = reader.finish(); !done) return std::unexpected(std::move(done).error());
  return value;
}

// Parses a whole text as one JSON value.
Result<JsonValue> parse_json_value(std::string_view text);

// Moves a successful read into `target`; hands on the error otherwise.
template <class T, class U>
Status store(T& target, Result<U>&& value) {
  if (!value) return std::unexpected(std::move(value).error());
  target = std::move(*value);
  return {};
}

}  // namespace halvorn
