#include "model-ir/gguf/gguf_reader.hpp"

#include <array>
#include <utility>

#include "core/text.hpp"
#include "model-ir/gguf/gguf_values.hpp"

namespace halvorn {
namespace {

constexpr std::string_view kArchitectureKey = "general.architecture";
constexpr std::string_view kParameterCountKey = "general.parameter_count";
constexpr std::string_view kTokensKey = "tokenizer.ggml.tokens";

// The header field or key/value step a short read happened in.
template <class T>
Result<T> read_field(ByteSource& source, const char* context) {
  auto value = source.read_le<T>();
  if (!value) return fail(std::move(value).error().wrap(context));
  return *value;
}

std::string bad_magic_text(const std::array<unsigned char, 4>& magic) {
  return cat("not a GGUF file (bad magic: [", magic[0], ", ", magic[1], ", ", magic[2], ", ",
             magic[3], "])");
}

// The field a key feeds, by the last-wins suffix rules.
std::optional<std::uint64_t>* last_wins_field(std::string_view key, GgufSummary& summary) {
  if (key.ends_with(".attention.head_count")) return &summary.head_count;
  if (key.ends_with(".attention.head_count_kv")) return &summary.head_count_kv;
  if (key.ends_with(".feed_forward_length")) return &summary.feed_forward_length;
  return nullptr;
}

// The field a key feeds by its last dotted component, while that field is
// still empty: the first such key in the file wins, whatever its prefix.
std::optional<std::uint64_t>* first_wins_field(std::string_view key, GgufSummary& summary) {
  const auto dot = key.rfind('.');
  if (dot == std::string_view::npos) return nullptr;
  const std::string_view last = key.substr(dot + 1);
  std::optional<std::uint64_t>* field = nullptr;
  if (last == "block_count") {
    field = &summary.block_count;
  } else if (last == "context_length") {
    field = &summary.context_length;
  } else if (last == "embedding_length") {
    field = &summary.embedding_length;
  }
  return field != nullptr && !field->has_value() ? field : nullptr;
}

// A value passed over with nothing kept; the tokens array's element count is
// noted on the way, for the parameter estimate.
Status skip_unused(ByteSource& source, const std::string& key, GgufValueType type,
                   GgufSummary& summary) {
  GgufArrayShape shape;
  const bool tokens = type == GgufValueType::Array && key == kTokensKey;
  if (auto ok = skip_gguf_value(source, type, tokens ? &shape : nullptr); !ok) {
    return fail(std::move(ok).error().wrap(cat("skip key '", key, "'")));
  }
  if (tokens && shape.element_type == GgufValueType::String) summary.vocab_size = shape.count;
  return {};
}

// One integer field.  A value of another type is passed over, leaving the
// field as it was; a failure inside an integer value (the data ending early)
// leaves the field as it was too, and the next pair is read.
Status read_numeric_field(ByteSource& source, const std::string& key, GgufValueType type,
                          std::optional<std::uint64_t>& field, GgufSummary& summary) {
  if (!gguf_is_integer(type)) return skip_unused(source, key, type, summary);
  if (auto value = read_value_as_u64(source, type)) field = *value;
  return {};
}

Status read_pair(ByteSource& source, GgufSummary& summary) {
  auto key = read_gguf_string(source);
  if (!key) return fail(std::move(key).error().wrap("read KV key"));
  auto code = read_field<std::uint32_t>(source, "read KV value type");
  if (!code) return fail(std::move(code).error());
  const auto type = gguf_value_type(*code);
  if (!type) return fail(cat("unknown value type ", *code, " for key '", *key, "'"));

  if (*key == kArchitectureKey) {
    if (*type == GgufValueType::String) {
      auto text = read_gguf_string(source);
      if (!text) return fail(std::move(text).error().wrap("read general.architecture value"));
      summary.architecture = std::move(*text);
    } else if (auto ok = skip_gguf_value(source, *type); !ok) {
      return fail(std::move(ok).error().wrap("skip general.architecture (unexpected type)"));
    }
    return {};
  }
  if (*key == kParameterCountKey) {
    auto value = read_value_as_u64(source, *type);
    if (!value) {
      return fail(std::move(value).error().wrap(
          cat("read general.parameter_count (type=", gguf_type_name(*type), ")")));
    }
    summary.parameter_count = *value;
    return {};
  }
  if (auto* field = last_wins_field(*key, summary)) {
    return read_numeric_field(source, *key, *type, *field, summary);
  }
  if (auto* field = first_wins_field(*key, summary)) {
    return read_numeric_field(source, *key, *type, *field, summary);
  }
  return skip_unused(source, *key, *type, summary);
}

}  // namespace

Result<GgufSummary> read_gguf_from(ByteSource& source) {
  std::array<unsigned char, 4> magic{};
  if (auto ok = source.read(magic.data(), magic.size()); !ok) {
    return fail(std::move(ok).error().wrap("read GGUF magic"));
  }
  if (magic != std::array<unsigned char, 4>{'G', 'G', 'U', 'F'}) return fail(bad_magic_text(magic));

  auto version = read_field<std::uint32_t>(source, "read GGUF version");
  if (!version) return fail(std::move(version).error());
  if (*version < 1 || *version > 3) {
    return fail(cat("unsupported GGUF version ", *version, "; expected 1\u20133"));
  }
  if (auto tensors = read_field<std::uint64_t>(source, "read tensor_count"); !tensors) {
    return fail(std::move(tensors).error());
  }
  auto kv_count = read_field<std::uint64_t>(source, "read kv_count");
  if (!kv_count) return fail(std::move(kv_count).error());

  // Every pair is visited even after all wanted values are known, so that a
  // damaged pair anywhere in the section is reported.  Each pair consumes at
  // least twelve bytes, so a lying count ends at the end of the data.
  GgufSummary summary;
  for (std::uint64_t i = 0; i < *kv_count; ++i) {
    if (auto ok = read_pair(source, summary); !ok) return fail(std::move(ok).error());
  }
  return summary;
}

Result<GgufSummary> read_gguf(const std::string& path) {
  auto source = ByteSource::open_file(path);
  if (!source) return fail(std::move(source).error().wrap(cat("open GGUF file: ", utf8_replace_invalid(path))));
  return read_gguf_from(*source);
}

Result<GgufSummary> read_gguf_bytes(std::string_view bytes) {
  auto source = ByteSource::over_memory(bytes);
  return read_gguf_from(source);
}

}  // namespace halvorn
