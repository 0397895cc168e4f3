#include "core/text.hpp"

#include <charconv>
#include <cmath>

namespace halvorn {
namespace {

// Length of the valid UTF-8 sequence starting at s[i], or the length of the
// maximal invalid prefix (at least 1) negated.
int next_sequence(std::string_view s, std::size_t i) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return 1;
  int need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return -1;
  }
  for (int k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return -k;
    const unsigned char b = byte(i + k);
    const unsigned char l = k == 1 ? lo : 0x80;
    const unsigned char h = k == 1 ? hi : 0xBF;
    if (b < l || b > h) return -k;
  }
  return need + 1;
}

// Decodes the code point of a valid sequence of length n at s[i].
char32_t decode_at(std::string_view s, std::size_t i, int n) noexcept {
  const auto b = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[k])); };
  switch (n) {
    case 1: return b(i);
    case 2: return ((b(i) & 0x1F) << 6) | (b(i + 1) & 0x3F);
    case 3: return ((b(i) & 0x0F) << 12) | ((b(i + 1) & 0x3F) << 6) | (b(i + 2) & 0x3F);
    default:
      return ((b(i) & 0x07) << 18) | ((b(i + 1) & 0x3F) << 12) | ((b(i + 2) & 0x3F) << 6) |
             (b(i + 3) & 0x3F);
  }
}

bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Length of the white-space character starting at i, or 0.
std::size_t white_space_at(std::string_view s, std::size_t i) noexcept {
  const int n = next_sequence(s, i);
  if (n <= 0) return 0;
  return is_white_space(decode_at(s, i, n)) ? static_cast<std::size_t>(n) : 0;
}

// Length of the white-space character ending just before `end`, or 0.
std::size_t white_space_before(std::string_view s, std::size_t end) noexcept {
  for (std::size_t n = 1; n <= 3 && n <= end; ++n) {
    const std::size_t start = end - n;
    const unsigned char b = static_cast<unsigned char>(s[start]);
    if ((b & 0xC0) == 0x80) continue;  // continuation byte: look further back
    return white_space_at(s, start) == n ? n : 0;
  }
  return 0;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
  for (std::size_t i = 0; i < bytes.size();) {
    const int n = next_sequence(bytes, i);
    if (n < 0) return false;
    i += static_cast<std::size_t>(n);
  }
  return true;
}

std::string utf8_replace_invalid(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const int n = next_sequence(bytes, i);
    if (n > 0) {
      out.append(bytes.substr(i, static_cast<std::size_t>(n)));
      i += static_cast<std::size_t>(n);
    } else {
      out.append("\xEF\xBF\xBD");
      i += static_cast<std::size_t>(-n);
    }
  }
  return out;
}

std::string_view trim(std::string_view text) noexcept {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t n = white_space_at(text, begin);
    if (n == 0) break;
    begin += n;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t n = white_space_before(text, end);
    if (n == 0) break;
    end -= n;
  }
  return text.substr(begin, end - begin);
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    std::string_view line = text.substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = nl + 1;
  }
  return lines;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(sep, start);
    if (at == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

std::vector<std::string_view> split_whitespace(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t i = 0;
  std::size_t start = std::string_view::npos;
  while (i < text.size()) {
    const std::size_t ws = white_space_at(text, i);
    if (ws > 0) {
      if (start != std::string_view::npos) parts.push_back(text.substr(start, i - start));
      start = std::string_view::npos;
      i += ws;
    } else {
      if (start == std::string_view::npos) start = i;
      const int n = next_sequence(text, i);
      i += static_cast<std::size_t>(n > 0 ? n : -n);
    }
  }
  if (start != std::string_view::npos) parts.push_back(text.substr(start));
  return parts;
}

std::optional<std::uint64_t> parse_u64(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::uint32_t> parse_u32(std::string_view text) noexcept {
  const auto v = parse_u64(text);
  if (!v || *v > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(*v);
}

std::string format_fixed(double value, int decimals) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[512];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  return std::string(buf, r.ptr);
}

std::string to_decimal(std::uint64_t value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

std::string to_decimal(std::int64_t value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace halvorn
