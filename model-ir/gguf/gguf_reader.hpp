// Reads the header and key/value section of a GGUF file into the few values
// planning needs.  Tensor infos and tensor data are never touched.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.hpp"

namespace halvorn {

class ByteSource;

struct GgufSummary {
  std::optional<std::string> architecture;
  std::optional<std::uint64_t> parameter_count;
  std::optional<std::uint64_t> block_count;
  std::optional<std::uint64_t> context_length;
  std::optional<std::uint64_t> embedding_length;
  std::optional<std::uint64_t> head_count;
  std::optional<std::uint64_t> head_count_kv;
  std::optional<std::uint64_t> feed_forward_length;
  // Element count of the tokenizer.ggml.tokens array, seen while passing
  // over it; feeds only the parameter-count estimate.
  std::optional<std::uint64_t> vocab_size;
};

// Reads the file at `path` (used unchanged).
Result<GgufSummary> read_gguf(const std::string& path);

// The same reading over bytes already in memory (fuzzing, tests).
Result<GgufSummary> read_gguf_bytes(std::string_view bytes);

// The same reading from the current position of any byte source.
Result<GgufSummary> read_gguf_from(ByteSource& source);

}  // namespace halvorn
