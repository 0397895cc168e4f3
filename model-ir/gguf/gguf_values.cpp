#include "model-ir/gguf/gguf_values.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "core/text.hpp"

namespace halvorn {
namespace {

struct TypeInfo {
  std::string_view name;
  std::uint64_t fixed_size;  // 0 for String and Array
};

constexpr std::array<TypeInfo, kGgufValueTypeCount> kTypes{{
    {"Uint8", 1},
    {"Int8", 1},
    {"Uint16", 2},
    {"Int16", 2},
    {"Uint32", 4},
    {"Int32", 4},
    {"Float32", 4},
    {"Bool", 1},
    {"String", 0},
    {"Array", 0},
    {"Uint64", 8},
    {"Int64", 8},
    {"Float64", 8},
}};

const TypeInfo& info(GgufValueType type) noexcept {
  return kTypes[static_cast<std::uint32_t>(type)];
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::uint64_t>::max();
  return product;
}

// Reads an integer of width T, wrapping a short read in `context`.
template <class T>
Result<T> read_int(ByteSource& source, const char* context) {
  auto value = source.read_le<T>();
  if (!value) return fail(std::move(value).error().wrap(context));
  return *value;
}

Status skip_string(ByteSource& source) {
  auto length = source.read_le<std::uint64_t>();
  if (!length) return fail(std::move(length).error().wrap("string length in skip"));
  if (auto moved = source.skip(*length); !moved) {
    return fail(std::move(moved).error().wrap("seek past string value"));
  }
  return {};
}

// `depth` counts the arrays around the value.
Status skip_value(ByteSource& source, GgufValueType type, unsigned depth, GgufArrayShape* shape);

std::uint64_t load_le64(const char* p) noexcept {
  std::uint64_t value = 0;
  std::memcpy(&value, p, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
  return value;
}

// `count` strings back to back.  Vocabularies hold hundreds of thousands of
// them, so those lying wholly inside the buffered bytes are passed over in
// place; one that crosses the edge of the buffer takes the general path,
// which refills it.
Status skip_strings(ByteSource& source, std::uint64_t count) {
  while (count > 0) {
    const std::string_view window = source.buffered_view();
    const char* p = window.data();
    const char* const end = p + window.size();
    std::uint64_t passed = 0;
    while (passed < count && end - p >= 8) {
      const std::uint64_t length = load_le64(p);
      if (length > static_cast<std::uint64_t>(end - p - 8)) break;
      p += 8 + length;
      ++passed;
    }
    if (passed > 0) {
      source.consume(static_cast<std::size_t>(p - window.data()));
      count -= passed;
      continue;
    }
    if (auto ok = skip_string(source); !ok) return fail(std::move(ok).error().wrap("skip array element"));
    --count;
  }
  return {};
}

Status skip_array(ByteSource& source, unsigned depth, GgufArrayShape* shape) {
  if (depth > kMaxGgufArrayDepth) {
    return fail(cat("array nesting deeper than ", kMaxGgufArrayDepth, " levels"));
  }
  auto code = read_int<std::uint32_t>(source, "array element type");
  if (!code) return fail(std::move(code).error());
  auto count = read_int<std::uint64_t>(source, "array element count");
  if (!count) return fail(std::move(count).error());
  const auto element = gguf_value_type(*code);
  if (!element) return fail(cat("unknown array element type ", *code));

  if (*element == GgufValueType::String) {
    if (auto ok = skip_strings(source, *count); !ok) return ok;
  } else if (*element == GgufValueType::Array) {
    for (std::uint64_t i = 0; i < *count; ++i) {
      if (auto ok = skip_value(source, *element, depth, nullptr); !ok) {
        return fail(std::move(ok).error().wrap("skip array element"));
      }
    }
  } else {
    // Elements of one fixed size go in a single seek.  Seeking one element
    // at a time would fail at the first element that crosses the largest
    // offset, with the same chain as here.
    const std::uint64_t total = saturating_mul(*count, info(*element).fixed_size);
    if (auto moved = source.skip(total); !moved) {
      return fail(std::move(moved).error().wrap("seek past scalar value").wrap("skip array element"));
    }
  }
  if (shape != nullptr) *shape = GgufArrayShape{*element, *count};
  return {};
}

Status skip_value(ByteSource& source, GgufValueType type, unsigned depth, GgufArrayShape* shape) {
  switch (type) {
    case GgufValueType::String:
      return skip_string(source);
    case GgufValueType::Array:
      return skip_array(source, depth + 1, shape);
    default:
      if (auto moved = source.skip(info(type).fixed_size); !moved) {
        return fail(std::move(moved).error().wrap("seek past scalar value"));
      }
      return {};
  }
}

}  // namespace

std::optional<GgufValueType> gguf_value_type(std::uint32_t code) noexcept {
  if (code >= kGgufValueTypeCount) return std::nullopt;
  return static_cast<GgufValueType>(code);
}

std::string_view gguf_type_name(GgufValueType type) noexcept { return info(type).name; }

bool gguf_is_integer(GgufValueType type) noexcept {
  switch (type) {
    case GgufValueType::Uint8:
    case GgufValueType::Int8:
    case GgufValueType::Uint16:
    case GgufValueType::Int16:
    case GgufValueType::Uint32:
    case GgufValueType::Int32:
    case GgufValueType::Uint64:
    case GgufValueType::Int64:
      return true;
    default:
      return false;
  }
}

std::uint64_t gguf_fixed_size(GgufValueType type) noexcept { return info(type).fixed_size; }

Result<std::string> read_gguf_string(ByteSource& source) {
  auto length = source.read_le<std::uint64_t>();
  if (!length) return fail(std::move(length).error());
  auto bytes = source.read_string(*length);
  if (!bytes) return fail(std::move(bytes).error());
  if (is_valid_utf8(*bytes)) return std::move(*bytes);
  return utf8_replace_invalid(*bytes);
}

Result<std::uint64_t> read_value_as_u64(ByteSource& source, GgufValueType type) {
  switch (type) {
    case GgufValueType::Uint8:
      return read_int<std::uint8_t>(source, "read uint8 value");
    case GgufValueType::Int8:
      // The byte is taken as it stands (0-255), unlike the wider signed
      // types below, which are sign-extended.
      return read_int<std::uint8_t>(source, "read int8 value (reinterp)");
    case GgufValueType::Uint16:
      return read_int<std::uint16_t>(source, "read uint16 value");
    case GgufValueType::Int16: {
      auto raw = read_int<std::uint16_t>(source, "read int16 value (reinterp)");
      if (!raw) return fail(std::move(raw).error());
      return static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int16_t>(*raw)));
    }
    case GgufValueType::Uint32:
      return read_int<std::uint32_t>(source, "read uint32 value");
    case GgufValueType::Int32: {
      auto raw = read_int<std::uint32_t>(source, "read int32 value (reinterp)");
      if (!raw) return fail(std::move(raw).error());
      return static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(*raw)));
    }
    case GgufValueType::Uint64:
      return read_int<std::uint64_t>(source, "read uint64 value");
    case GgufValueType::Int64:
      return read_int<std::uint64_t>(source, "read int64 value (reinterp)");
    default:
      return fail(cat("cannot coerce value type ", gguf_type_name(type), " to u64"));
  }
}

Status skip_gguf_value(ByteSource& source, GgufValueType type, GgufArrayShape* shape) {
  return skip_value(source, type, 0, shape);
}

}  // namespace halvorn
