// Planning without running anything: the model's workload class and sizes
// against the machine, the ranges of every tunable setting, and the fixed
// performance model that predicts throughput, latency and memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/records.hpp"
#include "model-ir/model.hpp"
#include "optimizer/lib/pipeline_records.hpp"
#include "optimizer/lib/quantization_tables.hpp"

namespace halvorn {

enum class WorkloadClass : std::uint8_t { MemoryBound, ComputeBound, Balanced };

// "MemoryBound", "ComputeBound" or "Balanced".
std::string_view text(WorkloadClass value) noexcept;

struct ModelAnalysis {
  std::optional<std::uint64_t> param_count;
  bool weights_known = false;
  double weights_mb = 0.0;  // meaningful only when weights_known
  bool kv_pressure = false;
  WorkloadClass workload = WorkloadClass::Balanced;
};

// The discrete space of the Bayesian stage.  Every list is non-empty once
// built by build_search_space from a non-empty runtime list.
struct SearchSpace {
  std::vector<RuntimeKind> runtimes;  // best first
  std::vector<Quantization> quantizations;
  std::vector<std::uint32_t> threads;      // ascending, distinct
  std::vector<std::uint32_t> batch_sizes;  // ascending, distinct
  std::uint32_t max_gpu_layers = 0;        // 0 without a GPU
};

// By the feed-forward to hidden width ratio; Balanced when unknown.
WorkloadClass classify_workload(const ModelInfo& model) noexcept;

ModelAnalysis assess_model(const ModelInfo& model, const HardwareSummary& summary) noexcept;

// The quantizations worth searching for this format and workload whose
// weights fit in 80 % of the available memory, in preference order.  May be
// empty.
std::vector<Quantization> candidate_quantizations(const HardwareSummary& summary,
                                                  const ModelAnalysis& analysis,
                                                  ModelFormat format);

// Half, all and twice the cores, each in 1..64, ascending and distinct.
std::vector<std::uint32_t> thread_candidates(std::uint32_t cores);

// How many of an assumed 32 offloadable layers fit in the GPU's memory.
std::uint32_t max_gpu_layers(const HardwareSummary& summary, const ModelInfo& model) noexcept;

// The space for the preselected runtimes; an empty quantization list is
// replaced by Q4_K_M alone.
SearchSpace build_search_space(std::vector<RuntimeKind> runtimes, const HardwareSummary& summary,
                               const ModelAnalysis& analysis, const ModelInfo& model);

// The hardware-aware estimate of one configuration.  The runtime, batch
// size and GPU memory do not enter it.  Always finite throughput; latency is
// +inf when the throughput is 0.
BenchmarkResult estimate_performance(const RuntimeConfig& config, const ModelInfo& model,
                                     const HardwareProfile& hardware) noexcept;

}  // namespace halvorn
