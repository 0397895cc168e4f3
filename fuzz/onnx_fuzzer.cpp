// Feeds arbitrary bytes to the ONNX decoder: it must return a summary or an
// error, never crash, hang or read outside the input.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "model-ir/onnx/onnx_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto summary = halvorn::decode_onnx_model(bytes);
  if (summary && !summary->has_graph &&
      (summary->node_count != 0 || summary->initializer_elements != 0)) {
    __builtin_trap();  // counts come only from a graph
  }
  return 0;
}
