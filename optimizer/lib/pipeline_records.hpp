// The records that carry the optimizer's inputs and the benchmark outcomes
// between the pipeline, its stages, the benchmark runner and the runtime
// adapters.  Plain values, copied freely.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/error.hpp"
#include "core/records.hpp"
#include "model-ir/model.hpp"

namespace halvorn {

// The model as the optimizer sees it: the caller's path and declared format
// and eight values of the loaded model record.  A failed load leaves every
// optional value absent.
struct ModelInfo {
  std::string path;
  ModelFormat format = ModelFormat::Gguf;  // as declared, not necessarily the file's
  std::optional<std::uint64_t> param_count;
  std::optional<std::uint64_t> feed_forward_length;
  std::optional<std::uint32_t> hidden_size;
  std::optional<std::uint32_t> attention_head_count;
  std::optional<std::uint32_t> attention_head_count_kv;
  std::optional<double> kv_cache_size_mb;     // MiB, at full context
  std::optional<double> memory_footprint_mb;  // MiB, two bytes per parameter
  std::optional<double> flops_per_token;
};

// The digest of a HardwareProfile that the planning stages read.
struct HardwareSummary {
  bool has_gpu = false;
  std::optional<std::uint64_t> vram_mb;  // present exactly when has_gpu
  std::uint64_t available_ram_mb = 0;    // available, not total
  std::uint32_t core_count = 0;
  bool is_nvidia = false;
  SimdLevel simd_level = SimdLevel::None;

  friend bool operator==(const HardwareSummary&, const HardwareSummary&) = default;
};

// One measured candidate: its configuration and either its metrics or the
// error that stopped the measurement (adapter errors keep their variant
// anywhere in the chain).
struct BenchmarkOutcome {
  RuntimeConfig config;
  Result<BenchmarkResult> result;
};

HardwareSummary summarize_hardware(const HardwareProfile& hardware);

}  // namespace halvorn
