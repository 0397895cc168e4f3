// The body of optimize(): format check, model record, machine profile (or
// the GPU the caller names), the pipeline on a task runtime of its own, and
// re-quantization of the model for the configuration found.
#pragma once

#include <string>
#include <string_view>

#include "bindings/entry_bodies.hpp"

namespace halvorn::bindings {

// "{stem}-optimized.gguf" beside the model (or in the current directory when
// the path has no directory part); "model" stands in for a missing file name.
std::string default_output_path(std::string_view model_path);

}  // namespace halvorn::bindings
