// Which runtimes the Bayesian stage considers for a model on this machine,
// and the rules applied to measured outcomes in the fallback: summarising
// failures, naming missing programs, planning llama.cpp from estimates when
// its program is absent, and dropping configurations whose program is
// missing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/records.hpp"
#include "model-ir/model.hpp"
#include "optimizer/lib/estimator.hpp"
#include "optimizer/lib/pipeline_records.hpp"
#include "optimizer/lib/progress.hpp"

namespace halvorn {

// One row of the preselection table; a reason means the runtime is ruled out.
struct RuntimeCandidate {
  RuntimeKind runtime;
  std::uint32_t preference;  // higher is preferred
  std::optional<std::string> reason;
};

// The table for the format, in table order, with each row's reason filled in.
std::vector<RuntimeCandidate> runtime_candidates(const HardwareSummary& summary,
                                                 const ModelAnalysis& analysis,
                                                 ModelFormat format);

// The runtimes worth searching, best first.  Writes one
// "[Stage 3/7] Eliminated ..." line per ruled-out runtime.  May be empty.
std::vector<RuntimeKind> preselect_runtimes(const HardwareSummary& summary,
                                            const ModelAnalysis& analysis, ModelFormat format,
                                            ProgressSink& progress);

// True when some error in a failed outcome's chain says its program is not
// installed.
bool is_not_installed(const BenchmarkOutcome& outcome) noexcept;

// The root-cause message of every failed outcome, in byte order, distinct.
std::vector<std::string> collect_failure_reasons(std::span<const BenchmarkOutcome> outcomes);

// Every missing program named anywhere in the failures' chains, in byte
// order, distinct.
std::vector<std::string> collect_missing_binaries(std::span<const BenchmarkOutcome> outcomes);

// When every llama.cpp outcome failed only because its program is missing,
// replaces each failed llama.cpp outcome by the hardware-aware estimate of
// its configuration and says so once.  Otherwise returns the list unchanged.
std::vector<BenchmarkOutcome> substitute_llamacpp_estimates(std::vector<BenchmarkOutcome> outcomes,
                                                            const ModelInfo& model,
                                                            const HardwareProfile& hardware,
                                                            ProgressSink& progress);

// Drops the not-installed failures, keeping the order of the rest, and
// writes one line per distinct missing program, in byte order.
std::vector<BenchmarkOutcome> skip_not_installed(std::vector<BenchmarkOutcome> outcomes,
                                                 ProgressSink& progress);

}  // namespace halvorn
