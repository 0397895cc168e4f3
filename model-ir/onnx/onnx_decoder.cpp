// Decodes a whole ModelProto against the generated field table and counts
// the main graph's nodes and initializer elements on the way, without
// building a message tree.
//
// Every nested message is decoded and checked, whether or not anything in
// it is counted: a file that is not a valid ModelProto is refused as a
// whole.  `bytes` fields (tensor data above all) are stepped over unread,
// so the pages holding weights are never touched.

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "core/error.hpp"
#include "core/text.hpp"
#include "model-ir/onnx/onnx_reader.hpp"
#include "model-ir/onnx/onnx_schema.hpp"
#include "model-ir/onnx/onnx_schema_table.hpp"
#include "model-ir/onnx/protobuf_wire.hpp"

namespace halvorn {
namespace {

using onnx_schema::FieldKind;
using onnx_schema::FieldSchema;
using onnx_schema::MessageSchema;
namespace wire = protobuf_wire;

// The top-level ModelProto is depth 0; a message at depth 101 is refused.
// Unknown groups count as one level each, like messages.
constexpr int kMaxDepth = 100;

constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();

consteval const FieldSchema& schema_field(onnx_schema::MessageIndex message,
                                        std::string_view name) {
  for (const FieldSchema& field : onnx_schema::kMessages[message].fields) {
    if (field.name == name) return field;
  }
  throw "field missing from the generated ONNX schema table";
}

// The four fields the counts come from, held to the numbers and types the
// counting relies on, so a regenerated table cannot silently move them.
constexpr const FieldSchema& kModelGraph = schema_field(onnx_schema::kModelProto, "graph");
constexpr const FieldSchema& kGraphNode = schema_field(onnx_schema::kGraphProto, "node");
constexpr const FieldSchema& kGraphInitializer =
    schema_field(onnx_schema::kGraphProto, "initializer");
constexpr const FieldSchema& kTensorDims = schema_field(onnx_schema::kTensorProto, "dims");
static_assert(kModelGraph.number == 7 && kModelGraph.kind == FieldKind::Message &&
              !kModelGraph.repeated && kModelGraph.message == onnx_schema::kGraphProto);
static_assert(kGraphNode.number == 1 && kGraphNode.kind == FieldKind::Message &&
              kGraphNode.repeated && kGraphNode.message == onnx_schema::kNodeProto);
static_assert(kGraphInitializer.number == 5 && kGraphInitializer.kind == FieldKind::Message &&
              kGraphInitializer.repeated &&
              kGraphInitializer.message == onnx_schema::kTensorProto);
static_assert(kTensorDims.number == 1 && kTensorDims.kind == FieldKind::Varint &&
              kTensorDims.repeated);

// What a message being decoded means to the counts.
enum class Role : std::uint8_t {
  Other,        // validated only
  Model,        // the top-level ModelProto
  MainGraph,    // ModelProto.graph (every occurrence: they merge)
  Initializer,  // one TensorProto of the main graph's initializers
};

Role child_role(Role parent, const FieldSchema& field) noexcept {
  switch (parent) {
    case Role::Model:
      return &field == &kModelGraph ? Role::MainGraph : Role::Other;
    case Role::MainGraph:
      return &field == &kGraphInitializer ? Role::Initializer : Role::Other;
    case Role::Other:
    case Role::Initializer:
      break;
  }
  return Role::Other;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? kSaturated : product;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? kSaturated : sum;
}

std::string_view wire_type_name(std::uint32_t wire_type) noexcept {
  switch (wire_type) {
    case wire::kVarint: return "varint";
    case wire::kFixed64: return "fixed64";
    case wire::kLen: return "length-delimited";
    case wire::kStartGroup: return "start-group";
    case wire::kEndGroup: return "end-group";
    case wire::kFixed32: return "fixed32";
    default: return "invalid";
  }
}

std::string_view expected_wire_types(const FieldSchema& field) noexcept {
  switch (field.kind) {
    case FieldKind::Varint:
      return field.repeated ? "varint or length-delimited" : "varint";
    case FieldKind::Fixed32:
      return field.repeated ? "fixed32 or length-delimited" : "fixed32";
    case FieldKind::Fixed64:
      return field.repeated ? "fixed64 or length-delimited" : "fixed64";
    case FieldKind::String:
    case FieldKind::Bytes:
    case FieldKind::Message:
      break;
  }
  return "length-delimited";
}

bool wire_type_fits(const FieldSchema& field, std::uint32_t wire_type) noexcept {
  // Repeated numeric fields come packed or one value per tag, whatever the
  // schema declares: writers differ, and readers accept both.
  const bool packed = field.repeated && wire_type == wire::kLen;
  switch (field.kind) {
    case FieldKind::Varint: return wire_type == wire::kVarint || packed;
    case FieldKind::Fixed32: return wire_type == wire::kFixed32 || packed;
    case FieldKind::Fixed64: return wire_type == wire::kFixed64 || packed;
    case FieldKind::String:
    case FieldKind::Bytes:
    case FieldKind::Message:
      return wire_type == wire::kLen;
  }
  return false;
}

// What a value being read belongs to; spelled out only for an error, so
// that the hot path builds no text.
struct Subject {
  enum class Kind : std::uint8_t { Tag, UnknownField, Field, PackedField };
  Kind kind;
  const MessageSchema* message = nullptr;
  const FieldSchema* field = nullptr;

  static Subject of(const MessageSchema& message, const FieldSchema& field) noexcept {
    return {Kind::Field, &message, &field};
  }
  static Subject packed(const MessageSchema& message, const FieldSchema& field) noexcept {
    return {Kind::PackedField, &message, &field};
  }

  std::string text() const {
    switch (kind) {
      case Kind::Tag: return "tag";
      case Kind::UnknownField: return "unknown field";
      case Kind::Field:
      case Kind::PackedField:
        break;
    }
    return cat(kind == Kind::PackedField ? "packed " : "", message->name, '.', field->name,
               " (", field->number, ')');
  }
};

constexpr Subject kTag{Subject::Kind::Tag};
constexpr Subject kUnknownField{Subject::Kind::UnknownField};

class ModelDecoder {
 public:
  explicit ModelDecoder(std::string_view bytes)
      : begin_(reinterpret_cast<const std::uint8_t*>(bytes.data())),
        end_(begin_ + bytes.size()) {}

  Result<OnnxSummary> run() {
    OnnxSummary summary;
    std::uint64_t unused_elements = 1;
    if (auto st = message(begin_, end_, onnx_schema::kModelProto, 0, Role::Model, summary,
                          unused_elements);
        !st) {
      return std::unexpected(std::move(st).error());
    }
    return summary;
  }

 private:
  std::uint64_t offset(const std::uint8_t* p) const noexcept {
    return static_cast<std::uint64_t>(p - begin_);
  }

  std::unexpected<Error> varint_error(wire::VarintStatus status, const Subject& what,
                                      const std::uint8_t* at) const {
    if (status == wire::VarintStatus::Truncated) {
      return fail(cat("truncated varint in ", what.text(), " at byte ", offset(at)));
    }
    return fail(cat("varint longer than 64 bits in ", what.text(), " at byte ", offset(at)));
  }

  // Reads the length of a length-delimited value and checks that it fits in
  // what is left of the enclosing message.  `p` moves past the length.
  Result<std::size_t> length(const std::uint8_t*& p, const std::uint8_t* end,
                             const Subject& what, const std::uint8_t* tag_at) const {
    const wire::Varint len = wire::read_varint(p, end);
    if (len.status != wire::VarintStatus::Ok) return varint_error(len.status, what, p);
    const std::size_t left = wire::bytes_left(len.next, end);
    if (len.value > left) {
      return fail(cat("length ", len.value, " of ", what.text(), " at byte ", offset(tag_at),
                      " runs past the end of its message (", left,
                      left == 1 ? " byte left)" : " bytes left)"));
    }
    p = len.next;
    return static_cast<std::size_t>(len.value);
  }

  Status fixed(const std::uint8_t*& p, const std::uint8_t* end, std::size_t width,
               const Subject& what, const std::uint8_t* tag_at) const {
    if (wire::bytes_left(p, end) < width) {
      return fail(cat("truncated ", width == 4 ? "fixed32" : "fixed64", " value of ", what.text(),
                      " at byte ", offset(tag_at)));
    }
    p += width;
    return {};
  }

  // Skips an unknown group up to its matching end-group tag, nested groups
  // included, with the depth bounded like message nesting.
  Status skip_group(std::uint32_t number, const std::uint8_t*& p, const std::uint8_t* end,
                    int depth, const std::uint8_t* tag_at) const {
    std::uint32_t open[kMaxDepth + 1];
    int open_count = 0;
    if (depth + 1 > kMaxDepth) return too_deep(tag_at);
    open[open_count++] = number;
    while (open_count > 0) {
      if (p == end) {
        return fail(cat("group of field ", number, " at byte ", offset(tag_at),
                        " has no end-group tag before the end of its message"));
      }
      const std::uint8_t* at = p;
      const wire::Varint tag = wire::read_varint(p, end);
      if (tag.status != wire::VarintStatus::Ok) return varint_error(tag.status, kTag, at);
      p = tag.next;
      const auto wire_type = static_cast<std::uint32_t>(tag.value & 7);
      const std::uint64_t field = tag.value >> 3;
      if (auto st = check_tag(wire_type, field, at); !st) return st;
      const auto n = static_cast<std::uint32_t>(field);
      switch (wire_type) {
        case wire::kVarint: {
          const wire::Varint v = wire::read_varint(p, end);
          if (v.status != wire::VarintStatus::Ok) {
            return varint_error(v.status, kUnknownField, p);
          }
          p = v.next;
          break;
        }
        case wire::kFixed64:
          if (auto st = fixed(p, end, 8, kUnknownField, at); !st) return st;
          break;
        case wire::kFixed32:
          if (auto st = fixed(p, end, 4, kUnknownField, at); !st) return st;
          break;
        case wire::kLen: {
          auto len = length(p, end, kUnknownField, at);
          if (!len) return std::unexpected(std::move(len).error());
          p += *len;
          break;
        }
        case wire::kStartGroup:
          if (depth + open_count + 1 > kMaxDepth) return too_deep(at);
          open[open_count++] = n;
          break;
        case wire::kEndGroup:
          if (n != open[open_count - 1]) {
            return fail(cat("end-group tag of field ", n, " at byte ", offset(at),
                            " does not close the group of field ", open[open_count - 1]));
          }
          --open_count;
          break;
        default:
          break;  // refused by check_tag
      }
    }
    return {};
  }

  std::unexpected<Error> too_deep(const std::uint8_t* at) const {
    return fail(cat("message nesting deeper than ", kMaxDepth, " levels at byte ", offset(at)));
  }

  Status check_tag(std::uint32_t wire_type, std::uint64_t field,
                   const std::uint8_t* at) const {
    if (wire_type == 6 || wire_type == 7) {
      return fail(cat("invalid wire type ", wire_type, " at byte ", offset(at)));
    }
    if (field == 0 || field > wire::kMaxFieldNumber) {
      return fail(cat("invalid field number ", field, " at byte ", offset(at)));
    }
    return {};
  }

  // Reads the values of a repeated or single varint field, packed or not,
  // multiplying them into `elements` when they are an initializer's dims.
  Status varints(const std::uint8_t*& p, const std::uint8_t* end, std::uint32_t wire_type,
                 bool dims, std::uint64_t& elements, const MessageSchema& message,
                 const FieldSchema& field, const std::uint8_t* tag_at) const {
    if (wire_type == wire::kVarint) {
      const wire::Varint v = wire::read_varint(p, end);
      if (v.status != wire::VarintStatus::Ok) {
        return varint_error(v.status, Subject::of(message, field), p);
      }
      p = v.next;
      if (dims) elements = saturating_mul(elements, v.value);
      return {};
    }
    auto len = length(p, end, Subject::of(message, field), tag_at);
    if (!len) return std::unexpected(std::move(len).error());
    const std::uint8_t* packed_end = p + *len;
    while (p < packed_end) {
      const wire::Varint v = wire::read_varint(p, packed_end);
      if (v.status != wire::VarintStatus::Ok) {
        return varint_error(v.status, Subject::packed(message, field), p);
      }
      p = v.next;
      if (dims) elements = saturating_mul(elements, v.value);
    }
    return {};
  }

  Status fixed_values(const std::uint8_t*& p, const std::uint8_t* end, std::uint32_t wire_type,
                      std::size_t width, const MessageSchema& message, const FieldSchema& field,
                      const std::uint8_t* tag_at) const {
    if (wire_type != wire::kLen) return fixed(p, end, width, Subject::of(message, field), tag_at);
    auto len = length(p, end, Subject::of(message, field), tag_at);
    if (!len) return std::unexpected(std::move(len).error());
    if (*len % width != 0) {
      return fail(cat(Subject::packed(message, field).text(), " at byte ", offset(tag_at),
                      " has length ", *len, ", not a multiple of ", width));
    }
    p += *len;
    return {};
  }

  // Decodes the message [p, end) of type `index` at nesting `depth`.
  // `elements` collects the product of dims when `role` is Initializer.
  Status message(const std::uint8_t* p, const std::uint8_t* end, std::uint16_t index, int depth,
                 Role role, OnnxSummary& summary, std::uint64_t& elements) const {
    const MessageSchema& message_schema = onnx_schema::kMessages[index];
    while (p < end) {
      const std::uint8_t* tag_at = p;
      const wire::Varint tag = wire::read_varint(p, end);
      if (tag.status != wire::VarintStatus::Ok) return varint_error(tag.status, kTag, tag_at);
      p = tag.next;
      const auto wire_type = static_cast<std::uint32_t>(tag.value & 7);
      const std::uint64_t number = tag.value >> 3;
      if (auto st = check_tag(wire_type, number, tag_at); !st) return st;

      const FieldSchema* field = onnx_schema::find_field(message_schema, static_cast<std::uint32_t>(number));
      if (field == nullptr) {
        if (auto st = skip_unknown(p, end, wire_type, static_cast<std::uint32_t>(number), depth,
                                   tag_at);
            !st) {
          return st;
        }
        continue;
      }
      if (!wire_type_fits(*field, wire_type)) {
        return fail(cat("field ", Subject::of(message_schema, *field).text(), " at byte ", offset(tag_at),
                        " has wire type ", wire_type, " (", wire_type_name(wire_type),
                        "), expected ", expected_wire_types(*field)));
      }

      switch (field->kind) {
        case FieldKind::Varint: {
          const bool dims = role == Role::Initializer && field == &kTensorDims;
          if (auto st = varints(p, end, wire_type, dims, elements, message_schema, *field, tag_at); !st) {
            return st;
          }
          break;
        }
        case FieldKind::Fixed32:
          if (auto st = fixed_values(p, end, wire_type, 4, message_schema, *field, tag_at); !st) return st;
          break;
        case FieldKind::Fixed64:
          if (auto st = fixed_values(p, end, wire_type, 8, message_schema, *field, tag_at); !st) return st;
          break;
        case FieldKind::String: {
          auto len = length(p, end, Subject::of(message_schema, *field), tag_at);
          if (!len) return std::unexpected(std::move(len).error());
          const std::string_view text(reinterpret_cast<const char*>(p), *len);
          if (!is_valid_utf8(text)) {
            return fail(cat("string field ", Subject::of(message_schema, *field).text(), " at byte ",
                            offset(tag_at), " is not valid UTF-8"));
          }
          p += *len;
          break;
        }
        case FieldKind::Bytes: {
          auto len = length(p, end, Subject::of(message_schema, *field), tag_at);
          if (!len) return std::unexpected(std::move(len).error());
          p += *len;  // never read: tensor data stays on disk
          break;
        }
        case FieldKind::Message: {
          auto len = length(p, end, Subject::of(message_schema, *field), tag_at);
          if (!len) return std::unexpected(std::move(len).error());
          if (depth + 1 > kMaxDepth) return too_deep(tag_at);
          const Role child = child_role(role, *field);
          if (child == Role::MainGraph) summary.has_graph = true;
          if (role == Role::MainGraph && field == &kGraphNode) {
            summary.node_count = saturating_add(summary.node_count, 1);
          }
          std::uint64_t child_elements = 1;  // a tensor without dims is a scalar
          if (auto st = message(p, p + *len, field->message, depth + 1, child, summary,
                                child_elements);
              !st) {
            return st;
          }
          if (child == Role::Initializer) {
            summary.initializer_elements =
                saturating_add(summary.initializer_elements, child_elements);
          }
          p += *len;
          break;
        }
      }
    }
    return {};
  }

  Status skip_unknown(const std::uint8_t*& p, const std::uint8_t* end, std::uint32_t wire_type,
                      std::uint32_t number, int depth, const std::uint8_t* tag_at) const {
    switch (wire_type) {
      case wire::kVarint: {
        const wire::Varint v = wire::read_varint(p, end);
        if (v.status != wire::VarintStatus::Ok) {
          return varint_error(v.status, kUnknownField, p);
        }
        p = v.next;
        return {};
      }
      case wire::kFixed64:
        return fixed(p, end, 8, kUnknownField, tag_at);
      case wire::kFixed32:
        return fixed(p, end, 4, kUnknownField, tag_at);
      case wire::kLen: {
        auto len = length(p, end, kUnknownField, tag_at);
        if (!len) return std::unexpected(std::move(len).error());
        p += *len;
        return {};
      }
      case wire::kStartGroup:
        return skip_group(number, p, end, depth, tag_at);
      case wire::kEndGroup:
      default:
        return fail(cat("end-group tag of field ", number, " at byte ", offset(tag_at),
                        " without a group to close"));
    }
  }

  const std::uint8_t* begin_;
  const std::uint8_t* end_;
};

}  // namespace

Result<OnnxSummary> decode_onnx_model(std::string_view bytes) {
  auto summary = ModelDecoder(bytes).run();
  if (!summary) return std::unexpected(std::move(summary).error().wrap("decode ONNX protobuf"));
  return summary;
}

}  // namespace halvorn
