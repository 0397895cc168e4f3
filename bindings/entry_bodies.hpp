// The work behind the module's functions, in plain C++ over converted
// arguments: no Python here, so each body can be replaced or tested alone.
#pragma once

#include <optional>
#include <string>

#include "bindings/py_optimization_result.hpp"
#include "core/error.hpp"

namespace halvorn::bindings {

struct OptimizeArguments {
  std::string model_path;
  std::string format;
  std::optional<std::string> gpu;
  std::optional<double> max_latency_ms;
  std::optional<std::string> output_path;
  bool use_cache = true;
};

Result<PyOptimizationResult> run_optimize(const OptimizeArguments& arguments);

// The bundle's manifest as JSON text.
Result<std::string> run_export_ollama(const PyOptimizationResult& result,
                                      const std::string& output_dir);

// The path the conversion reports.
Result<std::string> run_convert_gguf_to_onnx(const std::string& input_path,
                                             const std::string& output_path);
Result<std::string> run_convert_onnx_to_gguf(const std::string& input_path,
                                             const std::string& output_path);

}  // namespace halvorn::bindings
