// The shape of the field table that tools/gen_onnx_fields.py generates from
// the vendored onnx.proto (onnx_schema_table.hpp).  The wire-format decoder
// walks these tables; it knows nothing else about the schema.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace halvorn::onnx_schema {

// How a field's values travel on the wire.
enum class FieldKind : std::uint8_t {
  Varint,   // int32, int64, uint32, uint64, sint32, sint64, bool, enums
  Fixed32,  // float, fixed32, sfixed32
  Fixed64,  // double, fixed64, sfixed64
  String,   // length-delimited, must be valid UTF-8
  Bytes,    // length-delimited, opaque (skipped unread)
  Message,  // length-delimited nested message
};

inline constexpr std::uint16_t kNoMessage = 0xFFFF;

struct FieldSchema {
  std::uint32_t number;
  FieldKind kind;
  bool repeated;
  // Declared [packed = true].  Only the writer's choice: a reader accepts
  // repeated numeric fields in both forms whatever the declaration says.
  bool packed;
  std::uint16_t message;  // index into kMessages when kind is Message
  std::string_view name;
};

struct MessageSchema {
  std::string_view name;  // as in the schema, nested names dotted
  std::span<const FieldSchema> fields;  // ascending field numbers
};

// The field with `number`, or nullptr when the message does not declare it.
constexpr const FieldSchema* find_field(const MessageSchema& message,
                                      std::uint32_t number) noexcept {
  std::size_t lo = 0;
  std::size_t hi = message.fields.size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const std::uint32_t n = message.fields[mid].number;
    if (n == number) return &message.fields[mid];
    if (n < number) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return nullptr;
}

}  // namespace halvorn::onnx_schema
