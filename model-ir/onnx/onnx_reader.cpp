#include "model-ir/onnx/onnx_reader.hpp"

#include <utility>

#include "core/text.hpp"
#include "model-ir/onnx/read_only_mapping.hpp"

namespace halvorn {

Result<OnnxSummary> read_onnx(const std::string& path) {
  auto mapping = ReadOnlyMapping::open(path);
  if (!mapping) {
    return std::unexpected(std::move(mapping).error().wrap(cat("read ONNX file: ", path)));
  }
  // The mapping is released when it goes out of scope, before the caller
  // sees the result.
  return decode_onnx_model(mapping->bytes());
}

}  // namespace halvorn
