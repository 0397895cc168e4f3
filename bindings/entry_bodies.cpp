#include "bindings/entry_bodies.hpp"

namespace halvorn::bindings {

Result<std::string> run_export_ollama(const PyOptimizationResult&, const std::string&) {
  return fail("export_ollama() is not implemented yet");
}

Result<std::string> run_convert_gguf_to_onnx(const std::string&, const std::string&) {
  return fail("convert_gguf_to_onnx() is not implemented yet");
}

Result<std::string> run_convert_onnx_to_gguf(const std::string&, const std::string&) {
  return fail("convert_onnx_to_gguf() is not implemented yet");
}

}  // namespace halvorn::bindings
