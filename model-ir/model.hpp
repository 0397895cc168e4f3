// The system's description of one model file, and the loader that picks a
// reader by file extension and derives sizes and costs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "model-ir/gguf/gguf_reader.hpp"
#include "model-ir/onnx/onnx_reader.hpp"

namespace halvorn {

enum class ModelFormat : std::uint8_t { Gguf, Onnx };

// "gguf" or "onnx".
std::string_view text(ModelFormat format) noexcept;

struct ModelIR {
  ModelFormat format = ModelFormat::Gguf;
  std::optional<std::uint64_t> param_count;
  std::optional<std::string> architecture;
  std::optional<std::uint32_t> context_length;
  std::optional<std::uint32_t> layer_count;
  std::optional<std::uint32_t> hidden_size;
  std::optional<std::uint32_t> attention_head_count;
  std::optional<std::uint32_t> attention_head_count_kv;
  std::optional<std::uint64_t> feed_forward_length;
  std::optional<double> kv_cache_size_mb;     // MiB
  std::optional<double> memory_footprint_mb;  // MiB, 2 bytes per parameter
  std::optional<double> flops_per_token;
};

// Reads the model at `path`, choosing the reader by the lower-cased
// extension of the final path component.
Result<ModelIR> load_model(const std::string& path);

// The lower-cased extension of the final path component ("" when none).
std::string model_extension(std::string_view path);

ModelIR model_from_gguf(const GgufSummary& summary);
ModelIR model_from_onnx(const OnnxSummary& summary);

// Parameter count for GGUF files that do not state one, from the shape the
// reader collected; absent unless block count and embedding length are known.
std::optional<std::uint64_t> estimate_param_count(const GgufSummary& summary);

}  // namespace halvorn
