#include "core/json_reader.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>

#include "core/json_writer.hpp"
#include "core/text.hpp"

namespace halvorn {
namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

bool is_json_whitespace(char c) noexcept {
  return c == ' ' || c == '\n' || c == '\t' || c == '\r';
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// A decoded string as it is shown inside an error message: double-quoted,
// with quote, backslash, NUL, tab, CR and LF escaped, and other control
// characters (C0, DEL, C1) as \u{hex}.  `text` is valid UTF-8.
std::string quote_for_message(std::string_view text) {
  constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    std::uint32_t control = 0xFFFFFFFF;
    std::size_t width = 1;
    if (b == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      control = static_cast<unsigned char>(text[i + 1]);  // U+0080..U+009F
      width = 2;
    } else if (b < 0x20 || b == 0x7F) {
      control = b;
    }
    switch (b) {
      case '\0': out.append("\\0"); continue;
      case '\t': out.append("\\t"); continue;
      case '\r': out.append("\\r"); continue;
      case '\n': out.append("\\n"); continue;
      case '"': out.append("\\\""); continue;
      case '\\': out.append("\\\\"); continue;
      default: break;
    }
    if (control != 0xFFFFFFFF) {
      out.append("\\u{");
      if (control >= 0x10) out.push_back(kHex[control >> 4]);
      out.push_back(kHex[control & 0xF]);
      out.push_back('}');
      i += width - 1;
    } else {
      out.push_back(text[i]);
    }
  }
  out.push_back('"');
  return out;
}

// How a number read from the text is named in a type or value error.
std::string describe(const auto& number) {
  using Kind = std::remove_cvref_t<decltype(number.kind)>;
  switch (number.kind) {
    case Kind::U64: return cat("integer `", number.u, "`");
    case Kind::I64: return cat("integer `", number.i, "`");
    case Kind::F64: break;
  }
  return cat("floating point `", format_shortest(number.f), "`");
}

std::string unknown_variant_message(std::string_view found,
                                    std::span<const std::string_view> variants) {
  std::string out = cat("unknown variant `", found, "`, ");
  if (variants.empty()) return out + "there are no variants";
  out += "expected ";
  if (variants.size() == 1) return cat(out, "`", variants[0], "`");
  if (variants.size() == 2) return cat(out, "`", variants[0], "` or `", variants[1], "`");
  out += "one of ";
  for (std::size_t i = 0; i < variants.size(); ++i) {
    if (i > 0) out += ", ";
    out += cat("`", variants[i], "`");
  }
  return out;
}

// For a syntactically valid number text that a conversion found out of
// range: the decimal order k with 10^(k-1) <= |value| < 10^k.  A positive
// order means the value overflowed, anything else that it underflowed.
std::int64_t decimal_order(std::string_view number) {
  std::size_t i = 0;
  if (i < number.size() && number[i] == '-') ++i;
  std::int64_t integer_digits = 0;
  while (i + static_cast<std::size_t>(integer_digits) < number.size() &&
         is_digit(number[i + static_cast<std::size_t>(integer_digits)])) {
    ++integer_digits;
  }
  // Zeros before the first significant digit, on both sides of the point.
  std::int64_t leading_zeros = 0;
  bool significant = false;
  for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
    if (number[i] == '.') continue;
    if (number[i] != '0') {
      significant = true;
      break;
    }
    ++leading_zeros;
  }
  if (!significant) return std::numeric_limits<std::int64_t>::min();
  std::int64_t order = integer_digits - leading_zeros;
  while (i < number.size() && number[i] != 'e' && number[i] != 'E') ++i;
  if (i < number.size()) {
    ++i;
    bool negative = false;
    if (i < number.size() && (number[i] == '+' || number[i] == '-')) negative = number[i++] == '-';
    std::int64_t exponent = 0;
    for (; i < number.size(); ++i) {
      if (exponent < 1'000'000'000'000) exponent = exponent * 10 + (number[i] - '0');
    }
    order += negative ? -exponent : exponent;
  }
  return order;
}

}  // namespace

std::optional<double> JsonValue::as_number() const noexcept {
  if (const auto* u = std::get_if<std::uint64_t>(&data)) return static_cast<double>(*u);
  if (const auto* i = std::get_if<std::int64_t>(&data)) return static_cast<double>(*i);
  if (const auto* f = std::get_if<double>(&data)) return *f;
  return std::nullopt;
}

const JsonValue* JsonValue::find(std::string_view key) const noexcept {
  const Object* members = as_object();
  if (members == nullptr) return nullptr;
  for (auto it = members->rbegin(); it != members->rend(); ++it) {
    if (it->key == key) return &it->value;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Positions and errors

Error JsonReader::error_at(std::size_t index, std::string_view message) const {
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < index; ++i) {
    if (text_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return Error(cat(message, " at line ", line, " column ", index - line_start));
}

// Errors found by looking at the next byte count that byte as consumed.
Error JsonReader::error_peeked(std::string_view message) const {
  return error_at(std::min(text_.size(), pos_ + 1), message);
}

Error JsonReader::error_here(std::string_view message) const { return error_consumed(message); }

std::optional<char> JsonReader::peek_past_whitespace() noexcept {
  while (pos_ < text_.size() && is_json_whitespace(text_[pos_])) ++pos_;
  if (pos_ == text_.size()) return std::nullopt;
  return text_[pos_];
}

Status JsonReader::enter_nested() {
  if (--remaining_depth_ == 0) {
    ++remaining_depth_;
    return fail(error_peeked("recursion limit exceeded"));
  }
  return {};
}

Status JsonReader::expect_ident(std::string_view rest) {
  for (const char expected : rest) {
    if (pos_ == text_.size()) return fail(error_consumed("EOF while parsing a value"));
    if (text_[pos_++] != expected) return fail(error_consumed("expected ident"));
  }
  return {};
}

// ---------------------------------------------------------------------------
// Numbers

Status JsonReader::read_number(bool decode, Number* out) {
  const std::size_t start = pos_;
  if (text_[pos_] == '-') {
    ++pos_;
    return parse_number_after_sign(false, decode, start, out);
  }
  return parse_number_after_sign(true, decode, start, out);
}

Status JsonReader::parse_number_after_sign(bool positive, bool decode, std::size_t start,
                                           Number* out) {
  const std::size_t n = text_.size();
  if (pos_ == n) return fail(error_consumed("EOF while parsing a value"));
  const char first = text_[pos_++];
  bool nonzero = false;
  if (first == '0') {
    // One leading zero only.
    if (pos_ < n && is_digit(text_[pos_])) return fail(error_peeked("invalid number"));
  } else if (first >= '1' && first <= '9') {
    nonzero = true;
    while (pos_ < n && is_digit(text_[pos_])) ++pos_;
  } else {
    return fail(error_consumed("invalid number"));
  }

  bool is_float = false;
  if (pos_ < n && text_[pos_] == '.') {
    is_float = true;
    ++pos_;
    const std::size_t fraction_start = pos_;
    for (; pos_ < n && is_digit(text_[pos_]); ++pos_) {
      if (text_[pos_] != '0') nonzero = true;
    }
    if (pos_ == fraction_start) {
      return fail(error_peeked(pos_ < n ? "invalid number" : "EOF while parsing a value"));
    }
  }
  if (pos_ < n && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    is_float = true;
    ++pos_;
    bool positive_exponent = true;
    if (pos_ < n && (text_[pos_] == '+' || text_[pos_] == '-')) {
      positive_exponent = text_[pos_] == '+';
      ++pos_;
    }
    if (pos_ == n) return fail(error_consumed("EOF while parsing a value"));
    const char lead = text_[pos_++];
    if (!is_digit(lead)) return fail(error_consumed("invalid number"));
    std::int64_t exponent = lead - '0';
    bool saturated = false;
    while (pos_ < n && is_digit(text_[pos_])) {
      const char digit = text_[pos_++];
      if (saturated) continue;
      exponent = exponent * 10 + (digit - '0');
      if (exponent > INT32_MAX) {
        saturated = true;
        if (decode && positive_exponent && nonzero) {
          return fail(error_consumed("number out of range"));
        }
      }
    }
  }
  if (!decode) return {};

  const std::string_view text = text_.substr(start, pos_ - start);
  if (!is_float) {
    const std::string_view magnitude_text = positive ? text : text.substr(1);
    std::uint64_t magnitude = 0;
    const auto r = std::from_chars(magnitude_text.data(),
                                   magnitude_text.data() + magnitude_text.size(), magnitude);
    if (r.ec == std::errc()) {
      constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;  // of INT64_MIN
      if (positive) {
        *out = Number{Number::Kind::U64, magnitude, 0, 0};
      } else if (magnitude == 0) {
        *out = Number{Number::Kind::F64, 0, 0, -0.0};
      } else if (magnitude < kMinMagnitude) {
        *out = Number{Number::Kind::I64, 0, -static_cast<std::int64_t>(magnitude), 0};
      } else if (magnitude == kMinMagnitude) {
        *out = Number{Number::Kind::I64, 0, std::numeric_limits<std::int64_t>::min(), 0};
      } else {
        *out = Number{Number::Kind::F64, 0, 0, -static_cast<double>(magnitude)};
      }
      return {};
    }
    // Too large for 64 bits: read as a double below.
  }
  double value = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  if (r.ec == std::errc::result_out_of_range) {
    if (decimal_order(text) > 0) return fail(error_consumed("number out of range"));
    value = positive ? 0.0 : -0.0;
  } else if (r.ec != std::errc() || r.ptr != text.data() + text.size()) {
    return fail(error_consumed("invalid number"));  // not reached: the syntax was checked
  }
  *out = Number{Number::Kind::F64, 0, 0, value};
  return {};
}

// ---------------------------------------------------------------------------
// Strings

Result<std::uint16_t> JsonReader::read_hex4() {
  if (text_.size() - pos_ < 4) {
    pos_ = text_.size();
    return fail(error_consumed("EOF while parsing a string"));
  }
  int value = 0;
  bool valid = true;
  for (int k = 0; k < 4; ++k) {
    const int digit = hex_value(text_[pos_ + static_cast<std::size_t>(k)]);
    if (digit < 0) valid = false;
    value = value * 16 + (digit < 0 ? 0 : digit);
  }
  pos_ += 4;
  if (!valid) return fail(error_consumed("invalid escape"));
  return static_cast<std::uint16_t>(value);
}

Status JsonReader::read_escape(std::string& out) {
  if (pos_ == text_.size()) return fail(error_consumed("EOF while parsing a string"));
  switch (text_[pos_++]) {
    case '"': out.push_back('"'); return {};
    case '\\': out.push_back('\\'); return {};
    case '/': out.push_back('/'); return {};
    case 'b': out.push_back('\b'); return {};
    case 'f': out.push_back('\f'); return {};
    case 'n': out.push_back('\n'); return {};
    case 'r': out.push_back('\r'); return {};
    case 't': out.push_back('\t'); return {};
    case 'u': break;
    default: return fail(error_consumed("invalid escape"));
  }
  const auto high = read_hex4();
  if (!high) return std::unexpected(high.error());
  std::uint32_t code_point = *high;
  if (code_point >= 0xDC00 && code_point <= 0xDFFF) {
    return fail(error_consumed("lone leading surrogate in hex escape"));
  }
  if (code_point >= 0xD800 && code_point <= 0xDBFF) {
    // A leading surrogate must be followed at once by a trailing one.
    for (const char expected : {'\\', 'u'}) {
      if (pos_ == text_.size()) return fail(error_consumed("EOF while parsing a string"));
      if (text_[pos_++] != expected) return fail(error_consumed("unexpected end of hex escape"));
    }
    const auto low = read_hex4();
    if (!low) return std::unexpected(low.error());
    if (*low < 0xDC00 || *low > 0xDFFF) {
      return fail(error_consumed("lone leading surrogate in hex escape"));
    }
    code_point = 0x10000 + ((code_point - 0xD800) << 10) + (*low - 0xDC00u);
  }
  append_utf8(out, code_point);
  return {};
}

// Reads the rest of a string whose opening quote has been consumed.
Status JsonReader::read_string_body(std::string& out) {
  out.clear();
  const std::size_t n = text_.size();
  for (;;) {
    std::size_t end = pos_;
    while (end < n) {
      const auto b = static_cast<unsigned char>(text_[end]);
      if (b == '"' || b == '\\' || b < 0x20) break;
      ++end;
    }
    out.append(text_.substr(pos_, end - pos_));
    pos_ = end;
    if (pos_ == n) return fail(error_consumed("EOF while parsing a string"));
    const char c = text_[pos_++];
    if (c == '"') {
      if (!is_valid_utf8(out)) return fail(error_consumed("invalid unicode code point"));
      return {};
    }
    if (c != '\\') {
      return fail(error_consumed("control character (\\u0000-\\u001F) found while parsing a string"));
    }
    if (auto escaped = read_escape(out); !escaped) return escaped;
  }
}

// ---------------------------------------------------------------------------
// Containers

Result<bool> JsonReader::next_element(bool& first) {
  auto c = peek_past_whitespace();
  if (!c) return fail(error_peeked("EOF while parsing a list"));
  if (*c == ']') return false;
  if (*c == ',' && !first) {
    ++pos_;
    c = peek_past_whitespace();
  } else if (first) {
    first = false;
  } else {
    return fail(error_peeked("expected `,` or `]`"));
  }
  if (!c) return fail(error_peeked("EOF while parsing a value"));
  if (*c == ']') return fail(error_peeked("trailing comma"));
  return true;
}

Result<bool> JsonReader::next_key(bool& first) {
  auto c = peek_past_whitespace();
  if (!c) return fail(error_peeked("EOF while parsing an object"));
  if (*c == '}') return false;
  if (*c == ',' && !first) {
    ++pos_;
    c = peek_past_whitespace();
  } else if (first) {
    first = false;
  } else {
    return fail(error_peeked("expected `,` or `}`"));
  }
  if (!c) return fail(error_peeked("EOF while parsing a value"));
  if (*c == '"') return true;
  if (*c == '}') return fail(error_peeked("trailing comma"));
  return fail(error_peeked("key must be a string"));
}

Status JsonReader::expect_colon() {
  const auto c = peek_past_whitespace();
  if (!c) return fail(error_peeked("EOF while parsing an object"));
  if (*c != ':') return fail(error_peeked("expected `:`"));
  ++pos_;
  return {};
}

Status JsonReader::end_array() {
  const auto c = peek_past_whitespace();
  if (!c) return fail(error_peeked("EOF while parsing a list"));
  if (*c == ']') {
    ++pos_;
    return {};
  }
  if (*c == ',') {
    ++pos_;
    const auto after = peek_past_whitespace();
    return fail(error_peeked(after == ']' ? "trailing comma" : "trailing characters"));
  }
  return fail(error_peeked("trailing characters"));
}

Status JsonReader::end_object() {
  const auto c = peek_past_whitespace();
  if (!c) return fail(error_peeked("EOF while parsing an object"));
  if (*c == '}') {
    ++pos_;
    return {};
  }
  return fail(error_peeked(*c == ',' ? "trailing comma" : "trailing characters"));
}

Error JsonReader::close_and_fail(char bracket, std::string_view message) {
  if (peek_past_whitespace() == bracket) ++pos_;
  return error_consumed(message);
}

// The next value does not have the expected type: consume it if it is a
// scalar (so the error points past it), then describe what was found.
Error JsonReader::invalid_type_next(std::string_view expected) {
  const char c = pos_ < text_.size() ? text_[pos_] : '\0';
  std::string found;
  switch (c) {
    case 'n':
    case 't':
    case 'f': {
      ++pos_;
      const std::string_view rest = c == 'n' ? "ull" : c == 't' ? "rue" : "alse";
      if (auto ident = expect_ident(rest); !ident) return std::move(ident).error();
      found = c == 'n' ? "null" : c == 't' ? "boolean `true`" : "boolean `false`";
      break;
    }
    case '"': {
      ++pos_;
      std::string text;
      if (auto read = read_string_body(text); !read) return std::move(read).error();
      found = "string " + quote_for_message(text);
      break;
    }
    case '[': found = "sequence"; break;
    case '{': found = "map"; break;
    default:
      if (c == '-' || is_digit(c)) {
        Number number{};
        if (auto read = read_number(true, &number); !read) return std::move(read).error();
        found = describe(number);
        break;
      }
      return error_peeked("expected value");
  }
  return error_consumed(cat("invalid type: ", found, ", expected ", expected));
}

// ---------------------------------------------------------------------------
// Typed reads

Result<std::uint64_t> JsonReader::read_unsigned(std::uint64_t max, std::string_view expected) {
  const auto c = peek_past_whitespace();
  if (!c) return fail(error_peeked("EOF while parsing a value"));
  if (*c != '-' && !is_digit(*c)) return fail(invalid_type_next(expected));
  Number number{};
  if (auto read = read_number(true, &number); !read) return std::unexpected(std::move(read).error());
  switch (number.kind) {
    case Number::Kind::U64:
      if (number.u <= max) return number.u;
      [[fallthrough]];
    case Number::Kind::I64:
      return fail(error_consumed(cat("invalid value: ", describe(number), ", expected ", expected)));
    case Number::Kind::F64: break;
  }
  return fail(error_consumed(cat("invalid type: ", describe(number), ", expected ", expected)));
}

Result<std::uint32_t> JsonReader::read_u32() {
  const auto value = read_unsigned(UINT32_MAX, "u32");
  if (!value) return std::unexpected(value.error());
  return static_cast<std::uint32_t>(*value);
}

Result<std::uint64_t> JsonReader::read_u64() { return read_unsigned(UINT64_MAX, "u64"); }

Result<double> JsonReader::read_f64() {
  const auto c = peek_past_whitespace();
  if (!c) return fail(error_peeked("EOF while parsing a value"));
  if (*c != '-' && !is_digit(*c)) return fail(invalid_type_next("f64"));
  Number number{};
  if (auto read = read_number(true, &number); !read) return std::unexpected(std::move(read).error());
  switch (number.kind) {
    case Number::Kind::U64: return static_cast<double>(number.u);
    case Number::Kind::I64: return static_cast<double>(number.i);
    case Number::Kind::F64: break;
  }
  return number.f;
}

Result<bool> JsonReader::read_bool() {
  const auto c = peek_past_whitespace();
  if (!c) return fail(error_peeked("EOF while parsing a value"));
  if (*c != 't' && *c != 'f') return fail(invalid_type_next("a boolean"));
  ++pos_;
  if (auto ident = expect_ident(*c == 't' ? "rue" : "alse"); !ident) {
    return std::unexpected(std::move(ident).error());
  }
  return *c == 't';
}

Result<std::string> JsonReader::read_string() {
  const auto c = peek_past_whitespace();
  if (!c) return fail(error_peeked("EOF while parsing a value"));
  if (*c != '"') return fail(invalid_type_next("a string"));
  ++pos_;
  std::string text;
  if (auto read = read_string_body(text); !read) return std::unexpected(std::move(read).error());
  return text;
}

Result<bool> JsonReader::read_null_if_present() {
  if (peek_past_whitespace() != 'n') return false;
  ++pos_;
  if (auto ident = expect_ident("ull"); !ident) return std::unexpected(std::move(ident).error());
  return true;
}

Result<std::size_t> JsonReader::read_variant(std::string_view enum_name,
                                             std::span<const std::string_view> variants) {
  const auto c = peek_past_whitespace();
  if (!c) return fail(error_peeked("EOF while parsing a value"));
  if (*c != '"') return fail(invalid_type_next(cat("enum ", enum_name)));
  ++pos_;
  std::string text;
  if (auto read = read_string_body(text); !read) return std::unexpected(std::move(read).error());
  for (std::size_t i = 0; i < variants.size(); ++i) {
    if (variants[i] == text) return i;
  }
  return fail(error_consumed(unknown_variant_message(text, variants)));
}

Status JsonReader::read_record_impl(std::string_view record_name,
                                    std::span<const JsonField> fields, MemberThunk read_member,
                                    void* context) {
  const auto c = peek_past_whitespace();
  if (!c) return fail(error_peeked("EOF while parsing a value"));
  const std::string expected = cat("struct ", record_name);

  if (*c == '[') {
    if (auto nested = enter_nested(); !nested) return nested;
    ++pos_;
    bool first = true;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const auto more = next_element(first);
      if (!more) return std::unexpected(more.error());
      if (!*more) {
        return fail(close_and_fail(
            ']', cat("invalid length ", i, ", expected ", expected, " with ", fields.size(),
                     fields.size() == 1 ? " element" : " elements")));
      }
      if (auto member = read_member(context, i); !member) return member;
    }
    leave_nested();
    return end_array();
  }

  if (*c == '{') {
    if (auto nested = enter_nested(); !nested) return nested;
    ++pos_;
    std::vector<bool> seen(fields.size(), false);
    bool first = true;
    std::string key;
    for (;;) {
      const auto more = next_key(first);
      if (!more) return std::unexpected(more.error());
      if (!*more) break;
      ++pos_;
      if (auto read = read_string_body(key); !read) return read;
      std::size_t index = 0;
      while (index < fields.size() && fields[index].name != key) ++index;
      if (index < fields.size() && seen[index]) {
        return fail(close_and_fail('}', cat("duplicate field `", fields[index].name, "`")));
      }
      if (auto colon = expect_colon(); !colon) return colon;
      if (index == fields.size()) {
        if (auto skipped = skip_value(); !skipped) return skipped;
        continue;
      }
      if (auto member = read_member(context, index); !member) return member;
      seen[index] = true;
    }
    leave_nested();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].required && !seen[i]) {
        return fail(close_and_fail('}', cat("missing field `", fields[i].name, "`")));
      }
    }
    return end_object();
  }

  return fail(invalid_type_next(expected));
}

// ---------------------------------------------------------------------------
// Values of any kind

// Reads one value; with `out` null it is only checked.
Status JsonReader::read_any(JsonValue* out) {
  const auto c = peek_past_whitespace();
  if (!c) return fail(error_peeked("EOF while parsing a value"));
  switch (*c) {
    case 'n':
    case 't':
    case 'f': {
      ++pos_;
      if (auto ident = expect_ident(*c == 'n' ? "ull" : *c == 't' ? "rue" : "alse"); !ident) {
        return ident;
      }
      if (out == nullptr) return {};
      if (*c == 'n') {
        out->data = nullptr;
      } else {
        out->data = *c == 't';
      }
      return {};
    }
    case '"': {
      ++pos_;
      std::string text;
      if (auto read = read_string_body(text); !read) return read;
      if (out != nullptr) out->data = std::move(text);
      return {};
    }
    case '[': {
      if (auto nested = enter_nested(); !nested) return nested;
      ++pos_;
      JsonValue::Array items;
      bool first = true;
      for (;;) {
        const auto more = next_element(first);
        if (!more) return std::unexpected(more.error());
        if (!*more) break;
        JsonValue item;
        if (auto read = read_any(out != nullptr ? &item : nullptr); !read) return read;
        if (out != nullptr) items.push_back(std::move(item));
      }
      leave_nested();
      if (auto end = end_array(); !end) return end;
      if (out != nullptr) out->data = std::move(items);
      return {};
    }
    case '{': {
      if (auto nested = enter_nested(); !nested) return nested;
      ++pos_;
      JsonValue::Object members;
      bool first = true;
      for (;;) {
        const auto more = next_key(first);
        if (!more) return std::unexpected(more.error());
        if (!*more) break;
        ++pos_;
        JsonMember member;
        if (auto read = read_string_body(member.key); !read) return read;
        if (auto colon = expect_colon(); !colon) return colon;
        if (auto read = read_any(out != nullptr ? &member.value : nullptr); !read) return read;
        if (out != nullptr) members.push_back(std::move(member));
      }
      leave_nested();
      if (auto end = end_object(); !end) return end;
      if (out != nullptr) out->data = std::move(members);
      return {};
    }
    default: break;
  }
  if (*c != '-' && !is_digit(*c)) return fail(error_peeked("expected value"));
  Number number{};
  if (auto read = read_number(out != nullptr, &number); !read) return read;
  if (out == nullptr) return {};
  switch (number.kind) {
    case Number::Kind::U64: out->data = number.u; break;
    case Number::Kind::I64: out->data = number.i; break;
    case Number::Kind::F64: out->data = number.f; break;
  }
  return {};
}

Status JsonReader::skip_value() { return read_any(nullptr); }

Result<JsonValue> JsonReader::read_value() {
  JsonValue value;
  if (auto read = read_any(&value); !read) return std::unexpected(std::move(read).error());
  return value;
}

Status JsonReader::finish() {
  if (peek_past_whitespace()) return fail(error_peeked("trailing characters"));
  return {};
}

Result<JsonValue> parse_json_value(std::string_view text) {
  return parse_json_document(text, [](JsonReader& reader) { return reader.read_value(); });
}

}  // namespace halvorn
