// The record behind the Python class OptimizationResult.  Free of Python
// headers so that the optimize driver can build it in plain C++.
#pragma once

#include <optional>
#include <string>

#include "core/records.hpp"

namespace halvorn::bindings {

struct PyOptimizationResult {
  std::string model_path;                  // the optimize call's argument, unchanged
  std::optional<std::string> output_path;  // absent when re-quantization made none
  OptimizationResult result;
};

}  // namespace halvorn::bindings
