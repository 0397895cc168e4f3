#include "optimizer/lib/preselection.hpp"

#include <algorithm>
#include <set>
#include <utility>

#include "core/text.hpp"

namespace halvorn {
namespace {

std::optional<std::string> vllm_reason(const HardwareSummary& summary,
                                       const ModelAnalysis& analysis) {
  if (!summary.has_gpu) return "vLLM requires a GPU";
  if (analysis.kv_pressure && summary.vram_mb.value_or(0) == 0) {
    return "vLLM cannot handle KV pressure without VRAM";
  }
  return std::nullopt;
}

// The program named by the first NotInstalled error from the outside in.
std::optional<std::string> missing_binary(const BenchmarkOutcome& outcome) {
  if (outcome.result) return std::nullopt;
  const AdapterError* missing = outcome.result.error().find_adapter(AdapterError::Kind::NotInstalled);
  if (missing == nullptr) return std::nullopt;
  return missing->first;
}

}  // namespace

std::vector<RuntimeCandidate> runtime_candidates(const HardwareSummary& summary,
                                                 const ModelAnalysis& analysis,
                                                 ModelFormat format) {
  if (format == ModelFormat::Gguf) {
    return {
        {RuntimeKind::LlamaCpp, 10, std::nullopt},
        {RuntimeKind::Ollama, 8, std::nullopt},
    };
  }
  std::optional<std::string> tensorrt_reason;
  if (!summary.is_nvidia) tensorrt_reason = "TensorRT requires NVIDIA GPU";
  return {
      {RuntimeKind::OnnxRuntime, 8, std::nullopt},
      {RuntimeKind::TensorRT, 10, std::move(tensorrt_reason)},
      {RuntimeKind::Vllm, 7, vllm_reason(summary, analysis)},
  };
}

std::vector<RuntimeKind> preselect_runtimes(const HardwareSummary& summary,
                                            const ModelAnalysis& analysis, ModelFormat format,
                                            ProgressSink& progress) {
  std::vector<RuntimeCandidate> kept;
  for (RuntimeCandidate& row : runtime_candidates(summary, analysis, format)) {
    if (row.reason) {
      progress.write_line(cat("[Stage 3/7] Eliminated ", text(row.runtime), ": ", *row.reason));
    } else {
      kept.push_back(std::move(row));
    }
  }
  std::stable_sort(kept.begin(), kept.end(), [](const RuntimeCandidate& a, const RuntimeCandidate& b) {
    return a.preference > b.preference;
  });
  std::vector<RuntimeKind> runtimes;
  runtimes.reserve(kept.size());
  for (const RuntimeCandidate& row : kept) runtimes.push_back(row.runtime);
  return runtimes;
}

bool is_not_installed(const BenchmarkOutcome& outcome) noexcept {
  return !outcome.result &&
         outcome.result.error().find_adapter(AdapterError::Kind::NotInstalled) != nullptr;
}

std::vector<std::string> collect_failure_reasons(std::span<const BenchmarkOutcome> outcomes) {
  std::set<std::string> reasons;
  for (const BenchmarkOutcome& outcome : outcomes) {
    if (!outcome.result) reasons.insert(outcome.result.error().root().message());
  }
  return {reasons.begin(), reasons.end()};
}

std::vector<std::string> collect_missing_binaries(std::span<const BenchmarkOutcome> outcomes) {
  std::set<std::string> binaries;
  for (const BenchmarkOutcome& outcome : outcomes) {
    if (outcome.result) continue;
    for (const Error* e = &outcome.result.error(); e != nullptr; e = e->cause()) {
      const AdapterError* adapter = e->adapter();
      if (adapter != nullptr && adapter->kind == AdapterError::Kind::NotInstalled) {
        binaries.insert(adapter->first);
      }
    }
  }
  return {binaries.begin(), binaries.end()};
}

std::vector<BenchmarkOutcome> substitute_llamacpp_estimates(std::vector<BenchmarkOutcome> outcomes,
                                                            const ModelInfo& model,
                                                            const HardwareProfile& hardware,
                                                            ProgressSink& progress) {
  bool any_llamacpp = false;
  for (const BenchmarkOutcome& outcome : outcomes) {
    if (outcome.config.runtime != RuntimeKind::LlamaCpp) continue;
    any_llamacpp = true;
    // A success, or a failure with another cause, means llama-cli is there
    // (or broken in a way an estimate must not hide).
    if (!is_not_installed(outcome)) return outcomes;
  }
  if (!any_llamacpp) return outcomes;

  progress.write_line(
      "[halvorn] llama-cli not found \u2014 using hardware-aware estimates for GGUF configs");
  for (BenchmarkOutcome& outcome : outcomes) {
    if (outcome.config.runtime == RuntimeKind::LlamaCpp && !outcome.result) {
      outcome.result = estimate_performance(outcome.config, model, hardware);
    }
  }
  return outcomes;
}

std::vector<BenchmarkOutcome> skip_not_installed(std::vector<BenchmarkOutcome> outcomes,
                                                 ProgressSink& progress) {
  std::set<std::string> missing;
  std::vector<BenchmarkOutcome> kept;
  kept.reserve(outcomes.size());
  for (BenchmarkOutcome& outcome : outcomes) {
    if (!is_not_installed(outcome)) {
      kept.push_back(std::move(outcome));
      continue;
    }
    std::optional<std::string> name = missing_binary(outcome);
    missing.insert(name ? std::move(*name) : std::string(text(outcome.config.runtime)));
  }
  for (const std::string& name : missing) {
    progress.write_line(cat("[halvorn] ", name, " not found \u2014 skipping configs that require it"));
  }
  return kept;
}

}  // namespace halvorn
