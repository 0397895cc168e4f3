// Decodes an ONNX ModelProto over a read-only memory map and counts the main
// graph's nodes and initializer elements without building a message tree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.hpp"

namespace halvorn {

struct OnnxSummary {
  bool has_graph = false;
  std::uint64_t initializer_elements = 0;  // saturating at 2^64 - 1
  std::uint64_t node_count = 0;
};

// Reads the file at `path` (used unchanged).
Result<OnnxSummary> read_onnx(const std::string& path);

// Decodes `bytes` as one ModelProto (fuzzing, tests).
Result<OnnxSummary> decode_onnx_model(std::string_view bytes);

}  // namespace halvorn
