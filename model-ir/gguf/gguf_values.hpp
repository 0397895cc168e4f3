// The value types of a GGUF key/value section and the three ways the reader
// meets a value: keep a string, take an integer as unsigned 64-bit, or pass
// over it without keeping anything.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "model-ir/gguf/byte_source.hpp"

namespace halvorn {

enum class GgufValueType : std::uint32_t {
  Uint8 = 0,
  Int8 = 1,
  Uint16 = 2,
  Int16 = 3,
  Uint32 = 4,
  Int32 = 5,
  Float32 = 6,
  Bool = 7,
  String = 8,
  Array = 9,
  Uint64 = 10,
  Int64 = 11,
  Float64 = 12,
};

// Codes from this one on are not value types.
inline constexpr std::uint32_t kGgufValueTypeCount = 13;

// Arrays nested deeper than this are refused: real files nest one level, and
// every level costs a stack frame while only a dozen bytes of file.
inline constexpr unsigned kMaxGgufArrayDepth = 64;

// The type for a code below kGgufValueTypeCount, nothing otherwise.
std::optional<GgufValueType> gguf_value_type(std::uint32_t code) noexcept;

// The name messages show for a type ("Uint8", "Float32", ...).
std::string_view gguf_type_name(GgufValueType type) noexcept;

// Whether read_value_as_u64 takes values of this type.
bool gguf_is_integer(GgufValueType type) noexcept;

// Bytes one value occupies, for every type but String and Array (0 there).
std::uint64_t gguf_fixed_size(GgufValueType type) noexcept;

// One GGUF string (64-bit length, then the bytes), decoded as UTF-8 with each
// invalid sequence replaced by U+FFFD.  A length beyond the bytes left fails
// as a short read before anything is allocated.
Result<std::string> read_gguf_string(ByteSource& source);

// One value of an integer type as unsigned 64-bit: Int8 taken as its byte,
// wider signed types sign-extended.  Other types consume nothing and fail
// with "cannot coerce value type {name} to u64".
Result<std::uint64_t> read_value_as_u64(ByteSource& source, GgufValueType type);

// What an array's header declares.
struct GgufArrayShape {
  GgufValueType element_type = GgufValueType::Uint8;
  std::uint64_t count = 0;
};

// Moves past one value of `type` without keeping it: fixed-size values and
// whole arrays of them by one forward seek (its length saturating), strings
// by their length, nested arrays element by element down to
// kMaxGgufArrayDepth levels.  When `type` is Array and `shape` is given, the
// array's header is stored there once the whole array has been passed.
Status skip_gguf_value(ByteSource& source, GgufValueType type,
                       GgufArrayShape* shape = nullptr);

}  // namespace halvorn
