#include "optimizer/lib/estimator.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace halvorn {

std::string_view text(WorkloadClass value) noexcept {
  switch (value) {
    case WorkloadClass::MemoryBound: return "MemoryBound";
    case WorkloadClass::ComputeBound: return "ComputeBound";
    case WorkloadClass::Balanced: return "Balanced";
  }
  return "Balanced";
}

WorkloadClass classify_workload(const ModelInfo& model) noexcept {
  if (!model.feed_forward_length || !model.hidden_size || *model.hidden_size == 0) {
    return WorkloadClass::Balanced;
  }
  const std::uint64_t ratio = *model.feed_forward_length / *model.hidden_size;
  if (ratio > 7) return WorkloadClass::ComputeBound;
  if (ratio < 3) return WorkloadClass::MemoryBound;
  return WorkloadClass::Balanced;
}

ModelAnalysis assess_model(const ModelInfo& model, const HardwareSummary& summary) noexcept {
  ModelAnalysis analysis;
  analysis.param_count = model.param_count;
  analysis.workload = classify_workload(model);

  if (model.memory_footprint_mb) {
    analysis.weights_mb = *model.memory_footprint_mb;
    analysis.weights_known = true;
  } else if (model.param_count) {
    analysis.weights_mb = static_cast<double>(*model.param_count) * 2.0 / 1000000.0;
    analysis.weights_known = true;
  }

  if (model.kv_cache_size_mb) {
    // The cache competes with the GPU's memory when there is a GPU, with
    // main memory otherwise.
    const double threshold =
        summary.has_gpu ? 0.3 * static_cast<double>(summary.vram_mb.value_or(0))
                        : 0.2 * static_cast<double>(summary.available_ram_mb);
    analysis.kv_pressure = *model.kv_cache_size_mb > threshold;
  }
  return analysis;
}

std::vector<Quantization> candidate_quantizations(const HardwareSummary& summary,
                                                  const ModelAnalysis& analysis,
                                                  ModelFormat format) {
  using Q = Quantization;
  std::vector<Quantization> start;
  if (format == ModelFormat::Gguf) {
    switch (analysis.workload) {
      case WorkloadClass::MemoryBound: start = {Q::Q4_K_M, Q::Q4_0}; break;
      case WorkloadClass::ComputeBound: start = {Q::Q8_0, Q::Q4_K_M, Q::F16}; break;
      case WorkloadClass::Balanced: start = {Q::Q4_K_M, Q::Q8_0}; break;
    }
  } else {
    switch (analysis.workload) {
      case WorkloadClass::MemoryBound: start = {Q::Int8, Q::F16}; break;
      case WorkloadClass::ComputeBound: start = {Q::F16, Q::Int8}; break;
      case WorkloadClass::Balanced: start = {Q::F16, Q::Int8}; break;
    }
  }
  if (!analysis.param_count) return start;

  const double budget = 0.8 * static_cast<double>(summary.available_ram_mb);
  const double params = static_cast<double>(*analysis.param_count);
  std::vector<Quantization> kept;
  for (const Quantization q : start) {
    const double weights = bytes_per_param(q) * params / 1000000.0;
    if (budget >= weights) kept.push_back(q);
  }
  return kept;
}

std::vector<std::uint32_t> thread_candidates(std::uint32_t cores) {
  const auto in_range = [](std::uint32_t x) -> std::uint32_t { return x == 0 ? 1 : std::min<std::uint32_t>(x, 64); };
  // Twice the cores wraps modulo 2^32 on purpose: the rule is defined on
  // 32-bit counts.
  const auto doubled = static_cast<std::uint32_t>(cores * 2u);
  std::vector<std::uint32_t> threads{in_range(cores / 2), in_range(cores), in_range(doubled)};
  std::sort(threads.begin(), threads.end());
  threads.erase(std::unique(threads.begin(), threads.end()), threads.end());
  return threads;
}

std::uint32_t max_gpu_layers(const HardwareSummary& summary, const ModelInfo& model) noexcept {
  if (!summary.has_gpu) return 0;
  const std::uint64_t vram = summary.vram_mb.value_or(0);
  if (!model.param_count) {
    if (vram < 4096) return 16;
    if (vram < 12288) return 32;
    return 48;
  }
  // Weights at two bytes per parameter, in MiB.
  const double model_mib = static_cast<double>(*model.param_count) * 2.0 * 0x1p-20;
  if (model_mib <= 0.0) return 0;
  const double share = std::min(static_cast<double>(vram) / model_mib, 1.0);
  return saturating_u32(std::floor(share * 32.0));
}

SearchSpace build_search_space(std::vector<RuntimeKind> runtimes, const HardwareSummary& summary,
                               const ModelAnalysis& analysis, const ModelInfo& model) {
  SearchSpace space;
  space.runtimes = std::move(runtimes);
  space.quantizations = candidate_quantizations(summary, analysis, model.format);
  if (space.quantizations.empty()) space.quantizations = {Quantization::Q4_K_M};
  space.threads = thread_candidates(summary.core_count);
  space.batch_sizes = {128, 256, 512};
  space.max_gpu_layers = max_gpu_layers(summary, model);
  return space;
}

BenchmarkResult estimate_performance(const RuntimeConfig& config, const ModelInfo& model,
                                     const HardwareProfile& hardware) noexcept {
  const double cores = static_cast<double>(hardware.cpu.core_count);
  const double threads = static_cast<double>(config.threads);

  // 0/0 is NaN and T/0 is +inf: both count as full use of the cores.
  const double ratio = threads / cores;
  const double used = (std::isnan(ratio) || ratio > 1.0) ? 1.0 : ratio;
  const double efficiency = used * 0.8 + 0.2;

  double gpu_factor = 1.0;
  if (hardware.gpu && config.gpu_layers != 0) {
    gpu_factor = static_cast<double>(config.gpu_layers) / 33.0 * 4.0 + 1.0;
  }

  BenchmarkResult result;
  result.tokens_per_sec = (((2.0 * cores) * speed_factor(config.quantization)) *
                           simd_factor(hardware.cpu.simd_level)) *
                          efficiency * gpu_factor;
  result.latency_ms = result.tokens_per_sec == 0.0 ? std::numeric_limits<double>::infinity()
                                                   : 1000.0 / result.tokens_per_sec;

  double weights = 0.0;
  if (model.memory_footprint_mb) {
    weights = *model.memory_footprint_mb * memory_scale(config.quantization);
  } else if (model.param_count) {
    weights = static_cast<double>(*model.param_count) * bytes_per_param(config.quantization) /
              1000000.0;
  }
  std::uint64_t peak = saturating_u64(weights);
  if (model.kv_cache_size_mb) {
    const std::uint64_t kv = saturating_u64(*model.kv_cache_size_mb);
    peak = kv > std::numeric_limits<std::uint64_t>::max() - peak
               ? std::numeric_limits<std::uint64_t>::max()
               : peak + kv;
  }
  result.peak_memory_mb = peak;
  return result;
}

}  // namespace halvorn
