// Small text helpers shared by every subsystem: UTF-8 checking and
// replacement, Unicode white-space trimming, line splitting and number
// formatting without std::format.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvorn {

bool is_valid_utf8(std::string_view bytes) noexcept;

// Decodes `bytes` as UTF-8, replacing each maximal invalid subsequence by
// U+FFFD exactly as Python's bytes.decode("utf-8", "replace") does.
std::string utf8_replace_invalid(std::string_view bytes);

// Strips leading and trailing Unicode White_Space (ASCII and the non-ASCII
// spaces such as U+00A0, U+2000..U+200A, U+3000).  Input is valid UTF-8.
std::string_view trim(std::string_view text) noexcept;

// Splits at "\n"; one "\r" before each "\n" is dropped.  A final piece after
// the last "\n" is kept when not empty (so "a\nb\n" gives two lines).
std::vector<std::string_view> split_lines(std::string_view text);

// Splits at every occurrence of `sep`, keeping empty pieces.
std::vector<std::string_view> split(std::string_view text, char sep);

// Splits at runs of Unicode White_Space, dropping empty pieces.
std::vector<std::string_view> split_whitespace(std::string_view text);

// An unsigned decimal of the given width: digits only, one optional leading
// '+', no overflow.  Anything else gives nothing.
std::optional<std::uint64_t> parse_u64(std::string_view text) noexcept;
std::optional<std::uint32_t> parse_u32(std::string_view text) noexcept;

// Fixed-point with `decimals` digits after the point, rounded to nearest with
// ties to even on the exact binary value; NaN prints "NaN", infinities "inf"
// and "-inf".
std::string format_fixed(double value, int decimals);

std::string to_decimal(std::uint64_t value);
std::string to_decimal(std::int64_t value);

// Concatenates strings, string views, characters and integers.
namespace detail {
inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
inline void append(std::string& out, char c) { out.push_back(c); }
template <std::unsigned_integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>)
inline void append(std::string& out, T v) { out.append(to_decimal(static_cast<std::uint64_t>(v))); }
template <std::signed_integral T>
  requires(!std::same_as<T, char>)
inline void append(std::string& out, T v) { out.append(to_decimal(static_cast<std::int64_t>(v))); }
}  // namespace detail

template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (detail::append(out, parts), ...);
  return out;
}

// Lower-cases ASCII letters only.
std::string ascii_lower(std::string_view text);

}  // namespace halvorn
