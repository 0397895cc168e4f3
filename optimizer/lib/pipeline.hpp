// The staged optimization: cache lookup, hardware summary, model analysis,
// runtime preselection, Bayesian search over hardware-aware estimates, the
// latency check and the cache write.  Every stage reports one line.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "core/error.hpp"
#include "core/records.hpp"
#include "optimizer/lib/pipeline_records.hpp"
#include "optimizer/lib/progress.hpp"
#include "optimizer/lib/task_runtime.hpp"

namespace halvorn {

struct PipelineInput {
  ModelInfo model;
  HardwareProfile hardware;
  std::optional<double> max_latency_ms;  // passed on unchecked
  bool use_cache = true;
};

// Runs the whole pipeline for one model and machine.  `runtime` carries the
// work the pipeline spawns; the pipeline's own steps run on the caller.
Result<OptimizationResult> run_optimization(PipelineInput input, ProgressSink& progress,
                                            TaskRuntime& runtime);

// The final error of a search that found nothing, from the sorted failure
// reasons and missing programs.
Error explain_failure(std::span<const std::string> reasons, std::span<const std::string> missing,
                      std::optional<double> max_latency_ms);

}  // namespace halvorn
