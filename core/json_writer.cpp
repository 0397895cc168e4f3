#include "core/json_writer.hpp"

#include <charconv>
#include <cmath>

#include "core/text.hpp"

namespace halvorn {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void append_escaped_valid(std::string& out, std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\b': out.append("\\b"); break;
      case '\t': out.append("\\t"); break;
      case '\n': out.append("\\n"); break;
      case '\f': out.append("\\f"); break;
      case '\r': out.append("\\r"); break;
      default:
        if (byte < 0x20) {
          out.append("\\u00");
          out.push_back(kHexDigits[byte >> 4]);
          out.push_back(kHexDigits[byte & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
}

void append_zeros(std::string& out, long count) {
  if (count > 0) out.append(static_cast<std::size_t>(count), '0');
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  if (is_valid_utf8(text)) {
    append_escaped_valid(out, text);
  } else {
    append_escaped_valid(out, utf8_replace_invalid(text));
  }
  out.push_back('"');
}

std::string format_shortest(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  std::string out;
  if (std::signbit(value)) out.push_back('-');
  if (value == 0) {
    out.append("0.0");
    return out;
  }

  // Scientific shortest form: "d[.ddd]e±xx" gives the digits and exponent.
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  const std::size_t e_at = sci.find('e');
  std::string digits;
  for (const char c : sci.substr(0, e_at)) {
    if (c != '.') digits.push_back(c);
  }
  // The value is 0.d1...dn times ten to the power p.
  std::string_view exponent_text = sci.substr(e_at + 1);
  if (!exponent_text.empty() && exponent_text.front() == '+') exponent_text.remove_prefix(1);
  long exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  const long p = exponent + 1;
  const long n = static_cast<long>(digits.size());

  if (n <= p && p <= 16) {  // a whole number of at most 16 digits
    out.append(digits);
    append_zeros(out, p - n);
    out.append(".0");
  } else if (1 <= p && p <= 16) {
    out.append(digits, 0, static_cast<std::size_t>(p));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(p));
  } else if (-4 <= p && p <= 0) {
    out.append("0.");
    append_zeros(out, -p);
    out.append(digits);
  } else {
    out.push_back(digits[0]);
    if (n > 1) {
      out.push_back('.');
      out.append(digits, 1);
    }
    out.push_back('e');
    out.append(to_decimal(static_cast<std::int64_t>(p - 1)));
  }
  return out;
}

JsonWriter::JsonWriter(JsonLayout layout) : layout_(layout) {}

void JsonWriter::newline_and_indent(std::size_t depth) {
  out_.push_back('\n');
  out_.append(2 * depth, ' ');
}

void JsonWriter::begin_item() {
  if (after_key_) {  // the value of a member: its key wrote the separator
    after_key_ = false;
    return;
  }
  if (levels_.empty()) return;
  Level& level = levels_.back();
  if (!level.empty) out_.push_back(',');
  level.empty = false;
  if (layout_ == JsonLayout::Pretty) newline_and_indent(levels_.size());
}

void JsonWriter::open(char bracket) {
  begin_item();
  out_.push_back(bracket);
  levels_.push_back(Level{});
}

void JsonWriter::close(char bracket) {
  const bool empty = levels_.empty() || levels_.back().empty;
  if (!levels_.empty()) levels_.pop_back();
  if (!empty && layout_ == JsonLayout::Pretty) newline_and_indent(levels_.size());
  out_.push_back(bracket);
}

void JsonWriter::begin_object() { open('{'); }
void JsonWriter::end_object() { close('}'); }
void JsonWriter::begin_array() { open('['); }
void JsonWriter::end_array() { close(']'); }

void JsonWriter::key(std::string_view name) {
  begin_item();
  append_json_string(out_, name);
  out_.append(layout_ == JsonLayout::Pretty ? ": " : ":");
  after_key_ = true;
}

void JsonWriter::string(std::string_view value) {
  begin_item();
  append_json_string(out_, value);
}

void JsonWriter::u64(std::uint64_t value) {
  begin_item();
  out_.append(to_decimal(value));
}

void JsonWriter::i64(std::int64_t value) {
  begin_item();
  out_.append(to_decimal(value));
}

void JsonWriter::f64(double value) {
  begin_item();
  out_.append(std::isfinite(value) ? format_shortest(value) : std::string("null"));
}

void JsonWriter::boolean(bool value) {
  begin_item();
  out_.append(value ? "true" : "false");
}

void JsonWriter::null() {
  begin_item();
  out_.append("null");
}

}  // namespace halvorn
