#include "export/requantize.hpp"

#include <vector>

#include "core/text.hpp"
#include "runtime/process/process.hpp"

namespace halvorn {

std::string_view llama_quantize_type(Quantization quantization) noexcept {
  switch (quantization) {
    case Quantization::F16: return "f16";
    case Quantization::Q8_0: return "q8_0";
    case Quantization::Q4_K_M: return "q4_k_m";
    case Quantization::Q4_0: return "q4_0";
    case Quantization::Int8: return "q8_0";
    case Quantization::Int4: return "q4_0";
  }
  return "q4_k_m";
}

Status requantize_model(const std::string& input_path, const std::string& output_path,
                        Quantization quantization) {
  constexpr const char* kProgram = "llama-quantize";
  if (!find_in_path(kProgram)) {
    return fail("llama-quantize not found \u2014 install llama.cpp to enable model quantization");
  }
  // Started by name: the system resolves it on the search path again.
  const std::vector<std::string> args = {"--allow-requantize", input_path, output_path,
                                         std::string(llama_quantize_type(quantization))};
  auto status = run_inherited(kProgram, args);
  if (!status) return fail(cat("failed to launch llama-quantize: ", status.error().message()));
  if (status->success()) return {};
  return fail(cat("llama-quantize exited with code ", status->describe_code(),
                  " (if the source model is already quantized, ensure llama.cpp >= b2606 is "
                  "installed)"));
}

}  // namespace halvorn
