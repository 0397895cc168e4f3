#include "hardware/unicode_lower.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "core/text.hpp"

namespace halvorn {
namespace {

struct LowerRange {
  char32_t first;
  char32_t last;
  std::uint8_t stride;  // every `stride`-th code point from `first` maps
  std::int32_t delta;
};

struct CodeRange {
  char32_t first;
  char32_t last;
};

#include "hardware/lower_case_table.inc"

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;
constexpr char32_t kDottedCapitalI = 0x0130;
constexpr char32_t kCombiningDotAbove = 0x0307;

template <class Range>
const Range* find_range(std::span<const Range> ranges, char32_t c) {
  auto after = std::upper_bound(ranges.begin(), ranges.end(), c,
                                [](char32_t v, const Range& r) { return v < r.first; });
  if (after == ranges.begin()) return nullptr;
  const Range& r = *(after - 1);
  return c <= r.last ? &r : nullptr;
}

char32_t simple_lower(char32_t c) {
  const LowerRange* r = find_range(std::span<const LowerRange>(kLowerRanges), c);
  if (r == nullptr || (c - r->first) % r->stride != 0) return c;
  return static_cast<char32_t>(static_cast<std::int64_t>(c) + r->delta);
}

bool is_case_ignorable(char32_t c) {
  return find_range(std::span<const CodeRange>(kCaseIgnorableRanges), c) != nullptr;
}

// Cased and not case-ignorable: what the sigma rule looks for once it has
// skipped the ignorable characters.
bool is_cased(char32_t c) {
  return find_range(std::span<const CodeRange>(kCasedRanges), c) != nullptr;
}

// Whether, skipping case-ignorable characters, the first character met
// walking from `from` in direction `step` is cased.
bool cased_beyond(const std::vector<char32_t>& text, std::ptrdiff_t from, std::ptrdiff_t step) {
  for (std::ptrdiff_t i = from; i >= 0 && i < static_cast<std::ptrdiff_t>(text.size()); i += step) {
    const char32_t c = text[static_cast<std::size_t>(i)];
    if (!is_case_ignorable(c)) return is_cased(c);
  }
  return false;
}

std::vector<char32_t> decode(std::string_view valid) {
  std::vector<char32_t> out;
  out.reserve(valid.size());
  for (std::size_t i = 0; i < valid.size();) {
    const auto b0 = static_cast<unsigned char>(valid[i]);
    const std::size_t n = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
    char32_t c = n == 1 ? b0 : n == 2 ? (b0 & 0x1F) : n == 3 ? (b0 & 0x0F) : (b0 & 0x07);
    for (std::size_t k = 1; k < n && i + k < valid.size(); ++k) {
      c = (c << 6) | (static_cast<unsigned char>(valid[i + k]) & 0x3F);
    }
    out.push_back(c);
    i += n;
  }
  return out;
}

void encode(char32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

std::string unicode_lower(std::string_view text) {
  const std::vector<char32_t> chars = decode(utf8_replace_invalid(text));
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < chars.size(); ++i) {
    const char32_t c = chars[i];
    if (c == kDottedCapitalI) {
      encode(U'i', out);
      encode(kCombiningDotAbove, out);
    } else if (c == kCapitalSigma) {
      const auto at = static_cast<std::ptrdiff_t>(i);
      const bool final = cased_beyond(chars, at - 1, -1) && !cased_beyond(chars, at + 1, 1);
      encode(final ? kFinalSigma : kSmallSigma, out);
    } else {
      encode(simple_lower(c), out);
    }
  }
  return out;
}

}  // namespace halvorn
