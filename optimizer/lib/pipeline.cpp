#include "optimizer/lib/pipeline.hpp"

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "core/text.hpp"
#include "optimizer/bayes/bayesian_search.hpp"
#include "optimizer/lib/cache.hpp"
#include "optimizer/lib/estimator.hpp"
#include "optimizer/lib/preselection.hpp"

namespace halvorn {
namespace {

constexpr std::uint64_t kInitialSamples = 5;
constexpr std::uint64_t kRefinementIterations = 7;
constexpr std::uint64_t kCandidatesPerSuggestion = 24;

std::string join(std::span<const std::string> items, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out.append(separator);
    out.append(items[i]);
  }
  return out;
}

// "LlamaCpp/Q4_K_M/8 threads/0 gpu_layers"
std::string describe(const RuntimeConfig& config) {
  return cat(text(config.runtime), "/", text(config.quantization), "/", config.threads,
             " threads/", config.gpu_layers, " gpu_layers");
}

std::string fixed1(double value) { return format_fixed(value, 1); }

void report_hardware(const HardwareSummary& summary, ProgressSink& progress) {
  const std::string vram = summary.has_gpu ? cat(summary.vram_mb.value_or(0), "MB") : "none";
  progress.write_line(cat("[Stage 1/4] Hardware: ", summary.core_count, " cores, GPU=",
                          summary.has_gpu ? "yes" : "no", ", VRAM=", vram,
                          ", RAM=", summary.available_ram_mb, "MB"));
}

void report_model(const ModelAnalysis& analysis, ProgressSink& progress) {
  const std::string params =
      analysis.param_count
          ? cat(fixed1(static_cast<double>(*analysis.param_count) / 1e9), "B")
          : std::string("unknown");
  const std::string weights =
      analysis.weights_known ? cat(format_fixed(analysis.weights_mb, 0), "MB") : std::string("unknown");
  progress.write_line(cat("[Stage 2/4] Model: workload=", text(analysis.workload),
                          ", params=", params, ", FP16=", weights));
}

void report_runtimes(std::span<const RuntimeKind> runtimes, ProgressSink& progress) {
  std::string list = "[";
  for (std::size_t i = 0; i < runtimes.size(); ++i) {
    if (i > 0) list += ", ";
    list += text(runtimes[i]);
  }
  list += "]";
  progress.write_line(cat("[Stage 3/4] Preselected runtimes: ", list));
}

struct Evaluation {
  RuntimeConfig config;
  BenchmarkResult metrics;
};

// The Bayesian stage: the Halton design, then proposals, each scored by the
// hardware-aware estimate.  Ties keep the earlier evaluation.
Result<Evaluation> bayesian_stage(const SearchSpace& space, const ModelInfo& model,
                                  const HardwareProfile& hardware, ProgressSink& progress) {
  BayesianSearch search;
  std::optional<Evaluation> best;
  const auto consider = [&](const RuntimeConfig& config, const BenchmarkResult& metrics) {
    if (!best || metrics.tokens_per_sec > search.best_value) {
      search.best_value = metrics.tokens_per_sec;
      best = Evaluation{config, metrics};
    }
  };

  const std::vector<Point> design = initial_points(kInitialSamples);
  for (std::uint64_t i = 0; i < design.size(); ++i) {
    auto config = decode_point(design[i], space);
    if (!config) return std::unexpected(std::move(config).error());
    const BenchmarkResult metrics = estimate_performance(*config, model, hardware);
    progress.write_line(cat("[Bayes init ", i + 1, "/", kInitialSamples, "] ", describe(*config),
                            " \u2192 ", fixed1(metrics.tokens_per_sec), " tok/s"));
    observe(search, design[i], metrics.tokens_per_sec);
    consider(*config, metrics);
  }

  for (std::uint64_t k = 1; k <= kRefinementIterations; ++k) {
    const Point point = suggest_next(search, kCandidatesPerSuggestion, k - 1);
    auto config = decode_point(point, space);
    if (!config) return std::unexpected(std::move(config).error());
    progress.write_line(cat("[Bayes iter ", k, "/", kRefinementIterations, "] ", describe(*config)));
    const BenchmarkResult metrics = estimate_performance(*config, model, hardware);
    progress.write_line(cat("[Bayes iter ", k, "/", kRefinementIterations, "] Result: ",
                            fixed1(metrics.tokens_per_sec), " tok/s"));
    observe(search, point, metrics.tokens_per_sec);
    consider(*config, metrics);
  }
  return *best;
}

void store_quietly(const PipelineInput& input, const OptimizationResult& result,
                   ProgressSink& progress) {
  if (!input.use_cache) return;
  if (auto stored = store_cached(input.hardware, input.model, result); !stored) {
    progress.write_line(cat("[halvorn] Warning: could not write cache: ", stored.error().message()));
  }
}

// The measured cartesian search behind a broken latency ceiling.  Measuring
// configurations needs the runtime adapters, which this build does not have
// yet, so the search ends here with the shape of a failed fallback: the
// reason, over the latency message of the ceiling that sent us here.
Result<OptimizationResult> cartesian_fallback(const PipelineInput& input) {
  const Error latency = explain_failure({}, {}, input.max_latency_ms);
  return fail(latency.wrap(
      "cartesian fallback also failed: measuring configurations needs the runtime adapters, "
      "which are not available in this version"));
}

}  // namespace

Error explain_failure(std::span<const std::string> reasons, std::span<const std::string> missing,
                      std::optional<double> max_latency_ms) {
  if (!missing.empty()) {
    std::string message = cat("no compatible runtimes found \u2014 required runtime binaries are missing: ",
                              join(missing, ", "), "\nInstall the missing programs and retry.");
    if (!reasons.empty()) message += cat("\nAdditional failure reasons: ", join(reasons, "; "));
    return Error(std::move(message));
  }
  if (!reasons.empty()) {
    return Error(cat("no compatible runtimes found \u2014 all benchmark attempts failed.\nFailure reasons: ",
                     join(reasons, "; ")));
  }
  return Error(cat("no valid configuration found: no configuration meets the latency constraint of ",
                   fixed1(max_latency_ms.value_or(std::numeric_limits<double>::quiet_NaN())),
                   " ms. Try relaxing --latency or freeing RAM."));
}

Result<OptimizationResult> run_optimization(PipelineInput input, ProgressSink& progress,
                                            TaskRuntime& /*runtime*/) {
  if (input.use_cache) {
    if (auto cached = load_cached(input.hardware, input.model)) {
      progress.write_line(
          "[halvorn] Cache hit \u2014 returning stored result (use --no-cache to force re-run)");
      return *cached;
    }
  }

  const HardwareSummary summary = summarize_hardware(input.hardware);
  report_hardware(summary, progress);

  const ModelAnalysis analysis = assess_model(input.model, summary);
  report_model(analysis, progress);

  std::vector<RuntimeKind> runtimes =
      preselect_runtimes(summary, analysis, input.model.format, progress);
  report_runtimes(runtimes, progress);
  if (runtimes.empty()) {
    return fail("no compatible runtimes available for this model format and hardware");
  }

  const SearchSpace space = build_search_space(std::move(runtimes), summary, analysis, input.model);
  progress.write_line(cat("[Stage 4/4] Bayesian optimization (hardware-aware estimation): ",
                          kInitialSamples, " initial samples + ", kRefinementIterations,
                          " refinement iterations"));

  auto best = bayesian_stage(space, input.model, input.hardware, progress);
  if (!best) return std::unexpected(std::move(best).error());
  progress.write_line(cat("[Bayes final] Best: ", describe(best->config), " \u2192 ",
                          fixed1(best->metrics.tokens_per_sec), " tok/s"));
  const OptimizationResult result{best->config, best->metrics};

  if (input.max_latency_ms && best->metrics.latency_ms > *input.max_latency_ms) {
    progress.write_line(cat("[Bayes final] Best config latency ", fixed1(best->metrics.latency_ms),
                            "ms exceeds limit ", fixed1(*input.max_latency_ms),
                            "ms \u2014 falling back to cartesian search"));
    progress.write_line(
        "[Bayes final] No successful evaluations \u2014 falling back to cartesian search. "
        "Failure reasons: none recorded");
    auto fallback = cartesian_fallback(input);
    if (!fallback) return fallback;
    store_quietly(input, *fallback, progress);
    return fallback;
  }

  store_quietly(input, result, progress);
  return result;
}

}  // namespace halvorn
