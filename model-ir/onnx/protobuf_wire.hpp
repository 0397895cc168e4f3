// The Protocol Buffers wire format at its lowest level: tags, varints and
// fixed-width values read from a byte range, every read checked against the
// end of that range.  No allocation, no schema.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halvorn::protobuf_wire {

enum WireType : std::uint8_t {
  kVarint = 0,
  kFixed64 = 1,
  kLen = 2,
  kStartGroup = 3,
  kEndGroup = 4,
  kFixed32 = 5,
};

inline constexpr std::uint32_t kMaxFieldNumber = (1u << 29) - 1;
inline constexpr int kMaxVarintBytes = 10;

enum class VarintStatus : std::uint8_t {
  Ok,
  Truncated,  // the range ended before the last byte
  Overlong,   // more than 64 bits: a 10th byte above 1
};

struct Varint {
  std::uint64_t value;
  const std::uint8_t* next;  // first byte after the varint
  VarintStatus status;
};

// Reads one varint starting at `p`.  At most 10 bytes; the 10th may only
// contribute the top bit of the 64-bit value, so it must be 0 or 1.
inline Varint read_varint(const std::uint8_t* p, const std::uint8_t* end) noexcept {
  std::uint64_t value = 0;
  for (int i = 0; i < kMaxVarintBytes; ++i) {
    if (p == end) return {0, p, VarintStatus::Truncated};
    const std::uint8_t byte = *p++;
    if (i == kMaxVarintBytes - 1 && byte > 1) return {0, p, VarintStatus::Overlong};
    value |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
    if (byte < 0x80) return {value, p, VarintStatus::Ok};
  }
  return {0, p, VarintStatus::Overlong};  // not reached: the 10th byte ends it
}

inline std::size_t bytes_left(const std::uint8_t* p, const std::uint8_t* end) noexcept {
  return static_cast<std::size_t>(end - p);
}

}  // namespace halvorn::protobuf_wire
