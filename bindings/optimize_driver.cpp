#include "bindings/optimize_driver.hpp"

#include <utility>
#include <vector>

#include "core/text.hpp"
#include "export/requantize.hpp"
#include "hardware/detect.hpp"
#include "hardware/gpu_catalogue.hpp"
#include "model-ir/model.hpp"
#include "optimizer/lib/pipeline.hpp"
#include "optimizer/lib/progress.hpp"
#include "optimizer/lib/task_runtime.hpp"

namespace halvorn::bindings {
namespace {

Result<ModelFormat> parse_format(std::string_view format) {
  const std::string lowered = ascii_lower(format);
  if (lowered == "onnx") return ModelFormat::Onnx;
  if (lowered == "gguf") return ModelFormat::Gguf;
  return fail(cat("unknown model format '", lowered, "'; expected 'onnx' or 'gguf'"));
}

// The record's eight figures, or none at all when the file cannot be read:
// later stages plan without metadata then.
ModelInfo model_info(const std::string& path, ModelFormat format) {
  ModelInfo info;
  info.path = path;
  info.format = format;
  if (auto model = load_model(path)) {
    info.param_count = model->param_count;
    info.feed_forward_length = model->feed_forward_length;
    info.kv_cache_size_mb = model->kv_cache_size_mb;
    info.memory_footprint_mb = model->memory_footprint_mb;
    info.flops_per_token = model->flops_per_token;
    info.hidden_size = model->hidden_size;
    info.attention_head_count = model->attention_head_count;
    info.attention_head_count_kv = model->attention_head_count_kv;
  }
  return info;
}

// The non-empty components of a path, "." dropped except a leading one.
struct PathParts {
  bool absolute = false;
  std::vector<std::string_view> components;
};

PathParts split_path(std::string_view path) {
  PathParts parts;
  parts.absolute = !path.empty() && path.front() == '/';
  for (std::string_view piece : split(path, '/')) {
    if (piece.empty()) continue;
    if (piece == "." && !(parts.components.empty() && !parts.absolute && path.starts_with("./"))) {
      continue;
    }
    parts.components.push_back(piece);
  }
  return parts;
}

// The file name without its last extension; a leading dot does not start an
// extension, so ".gguf" is its own stem.
std::string_view file_stem(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return name;
  return name.substr(0, dot);
}

}  // namespace

std::string default_output_path(std::string_view model_path) {
  const PathParts parts = split_path(model_path);
  std::string_view stem = "model";
  std::vector<std::string_view> directory = parts.components;
  if (!directory.empty()) {
    const std::string_view last = directory.back();
    if (last != "." && last != "..") stem = file_stem(last);
    directory.pop_back();
  }
  const std::string name = cat(utf8_replace_invalid(stem), "-optimized.gguf");
  if (directory.empty() && !parts.absolute) return name;
  std::string out = parts.absolute ? "/" : "";
  for (std::string_view component : directory) out += cat(component, "/");
  return out + name;
}

Result<PyOptimizationResult> run_optimize(const OptimizeArguments& arguments) {
  auto format = parse_format(arguments.format);
  if (!format) return std::unexpected(std::move(format).error());

  ModelInfo model = model_info(arguments.model_path, *format);
  HardwareProfile hardware = detect_hardware();
  if (arguments.gpu) {
    auto gpu = lookup_gpu(*arguments.gpu);
    if (!gpu) return std::unexpected(std::move(gpu).error());
    hardware.gpu = std::move(*gpu);
  }

  auto runtime = TaskRuntime::create();
  if (!runtime) {
    return fail(cat("failed to create the asynchronous task runtime: ", runtime.error().text()));
  }
  StderrProgress progress;
  auto result = run_optimization({std::move(model), std::move(hardware), arguments.max_latency_ms,
                                  arguments.use_cache},
                                 progress, **runtime);
  if (!result) {
    (*runtime)->shutdown();
    return std::unexpected(std::move(result).error());
  }

  const std::string output_path =
      arguments.output_path ? *arguments.output_path : default_output_path(arguments.model_path);
  PyOptimizationResult answer{arguments.model_path, std::nullopt, *result};
  if (auto quantized = requantize_model(arguments.model_path, output_path,
                                        result->config.quantization)) {
    answer.output_path = output_path;
  } else {
    progress.write_line(cat("[halvorn] Warning: quantization failed: ", quantized.error().message()));
  }
  (*runtime)->shutdown();
  return answer;
}

}  // namespace halvorn::bindings
