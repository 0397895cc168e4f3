// Planning stages of the optimizer: pipeline records, the hardware-aware
// estimator and search-space rules, the Bayesian search engine and runtime
// preselection with the missing-program rules.  Expected numbers are the
// exact doubles the rules give when evaluated in the order written.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/records.hpp"
#include "optimizer/bayes/bayesian_search.hpp"
#include "optimizer/lib/estimator.hpp"
#include "optimizer/lib/pipeline_records.hpp"
#include "optimizer/lib/preselection.hpp"
#include "optimizer/lib/progress.hpp"
#include "optimizer/lib/quantization_tables.hpp"

namespace halvorn {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

using Lines = std::vector<std::string>;

HardwareProfile cpu_only(std::uint32_t cores, SimdLevel simd = SimdLevel::AVX2,
                         std::uint64_t available_mb = 16000) {
  HardwareProfile hw;
  hw.cpu.core_count = cores;
  hw.cpu.simd_level = simd;
  hw.ram.total_mb = available_mb * 2;
  hw.ram.available_mb = available_mb;
  return hw;
}

HardwareProfile with_gpu(HardwareProfile hw, GpuVendor vendor, std::uint64_t vram_mb) {
  GpuInfo gpu;
  gpu.name = "test card";
  gpu.vram_mb = vram_mb;
  gpu.vendor = vendor;
  hw.gpu = gpu;
  return hw;
}

ModelInfo gguf_model(std::optional<std::uint64_t> params) {
  ModelInfo model;
  model.path = "model.gguf";
  model.format = ModelFormat::Gguf;
  model.param_count = params;
  return model;
}

// ---------------------------------------------------------------------------
// Pipeline records

TEST(SummarizeHardware, DigestsGpuPresenceVendorAndMemory) {
  const HardwareProfile none = cpu_only(12, SimdLevel::AVX512, 30000);
  const HardwareSummary s0 = summarize_hardware(none);
  EXPECT_FALSE(s0.has_gpu);
  EXPECT_FALSE(s0.vram_mb.has_value());
  EXPECT_FALSE(s0.is_nvidia);
  EXPECT_EQ(s0.available_ram_mb, 30000u);  // available, not total
  EXPECT_EQ(s0.core_count, 12u);
  EXPECT_EQ(s0.simd_level, SimdLevel::AVX512);

  const HardwareSummary amd = summarize_hardware(with_gpu(none, GpuVendor::Amd, 16368));
  EXPECT_TRUE(amd.has_gpu);
  EXPECT_EQ(amd.vram_mb, std::optional<std::uint64_t>(16368));
  EXPECT_FALSE(amd.is_nvidia);

  const HardwareSummary nv = summarize_hardware(with_gpu(none, GpuVendor::Nvidia, 0));
  EXPECT_TRUE(nv.has_gpu);
  EXPECT_EQ(nv.vram_mb, std::optional<std::uint64_t>(0));
  EXPECT_TRUE(nv.is_nvidia);
}

// ---------------------------------------------------------------------------
// Saturating conversions and the peak-memory estimate

struct SaturatingCase {
  double value;
  std::uint64_t as_u64;
  std::uint32_t as_u32;
};

class Saturating : public ::testing::TestWithParam<SaturatingCase> {};

TEST_P(Saturating, TruncatesWithinRangeAndClampsOutside) {
  EXPECT_EQ(saturating_u64(GetParam().value), GetParam().as_u64);
  EXPECT_EQ(saturating_u32(GetParam().value), GetParam().as_u32);
}

INSTANTIATE_TEST_SUITE_P(
    Values, Saturating,
    ::testing::Values(SaturatingCase{kNaN, 0, 0}, SaturatingCase{-1.5, 0, 0},
                      SaturatingCase{-0.0, 0, 0}, SaturatingCase{0.99, 0, 0},
                      SaturatingCase{3337.85, 3337, 3337},
                      SaturatingCase{4294967295.75, 4294967295u, 4294967295u},
                      SaturatingCase{4294967296.0, 4294967296u, 4294967295u},
                      // The largest double below 2^64 still converts exactly.
                      SaturatingCase{18446744073709549568.0, 18446744073709549568u, 4294967295u},
                      SaturatingCase{18446744073709551616.0, kU64Max, 4294967295u},
                      SaturatingCase{kInf, kU64Max, 4294967295u}));

TEST(EstimatePeakMemory, ParamsTimesBytesInDecimalMegabytes) {
  EXPECT_EQ(estimate_peak_memory_mb(gguf_model(std::nullopt), Quantization::F16), 0u);
  EXPECT_EQ(estimate_peak_memory_mb(gguf_model(1000000), Quantization::F16), 2u);
  EXPECT_EQ(estimate_peak_memory_mb(gguf_model(7000000000), Quantization::Q4_K_M), 3500u);
  EXPECT_EQ(estimate_peak_memory_mb(gguf_model(7000000000), Quantization::Int8), 7000u);
  EXPECT_EQ(estimate_peak_memory_mb(gguf_model(1999999), Quantization::Q4_0), 0u);  // 0.9999995
}

// ---------------------------------------------------------------------------
// Model analysis

struct WorkloadCase {
  std::optional<std::uint64_t> feed_forward;
  std::optional<std::uint32_t> hidden;
  WorkloadClass expected;
};

class Workload : public ::testing::TestWithParam<WorkloadCase> {};

TEST_P(Workload, ClassifiesByTruncatedWidthRatio) {
  ModelInfo model = gguf_model(std::nullopt);
  model.feed_forward_length = GetParam().feed_forward;
  model.hidden_size = GetParam().hidden;
  EXPECT_EQ(classify_workload(model), GetParam().expected);
  EXPECT_EQ(assess_model(model, summarize_hardware(cpu_only(8))).workload, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Ratios, Workload,
    ::testing::Values(WorkloadCase{11008, 4096, WorkloadClass::MemoryBound},   // r = 2
                      WorkloadCase{12287, 4096, WorkloadClass::MemoryBound},   // 2.99 truncates
                      WorkloadCase{14336, 4096, WorkloadClass::Balanced},      // r = 3
                      WorkloadCase{32767, 4096, WorkloadClass::Balanced},      // r = 7
                      WorkloadCase{32768, 4096, WorkloadClass::ComputeBound},  // r = 8
                      WorkloadCase{0, 4096, WorkloadClass::MemoryBound},
                      WorkloadCase{11008, 0, WorkloadClass::Balanced},
                      WorkloadCase{std::nullopt, 4096, WorkloadClass::Balanced},
                      WorkloadCase{11008, std::nullopt, WorkloadClass::Balanced},
                      WorkloadCase{kU64Max, 1, WorkloadClass::ComputeBound}));

TEST(WorkloadText, DisplayTexts) {
  EXPECT_EQ(text(WorkloadClass::MemoryBound), "MemoryBound");
  EXPECT_EQ(text(WorkloadClass::ComputeBound), "ComputeBound");
  EXPECT_EQ(text(WorkloadClass::Balanced), "Balanced");
}

struct WeightsCase {
  std::optional<std::uint64_t> params;
  std::optional<double> footprint;
  bool known;
  double weights;
};

class WeightsSize : public ::testing::TestWithParam<WeightsCase> {};

TEST_P(WeightsSize, FootprintFirstThenTwoBytesPerParameter) {
  ModelInfo model = gguf_model(GetParam().params);
  model.memory_footprint_mb = GetParam().footprint;
  const ModelAnalysis a = assess_model(model, summarize_hardware(cpu_only(8)));
  EXPECT_EQ(a.param_count, GetParam().params);
  EXPECT_EQ(a.weights_known, GetParam().known);
  if (GetParam().known) {
    EXPECT_EQ(a.weights_mb, GetParam().weights);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, WeightsSize,
    ::testing::Values(WeightsCase{7000000000, 13351.4404296875, true, 13351.4404296875},
                      WeightsCase{std::nullopt, 500.5, true, 500.5},
                      WeightsCase{7000000000, std::nullopt, true, 14000.0},
                      WeightsCase{1, std::nullopt, true, 2e-6},
                      WeightsCase{std::nullopt, std::nullopt, false, 0.0}));

struct KvCase {
  std::optional<double> kv;
  std::optional<std::uint64_t> vram;  // absent: no GPU
  std::uint64_t available_ram;
  bool pressure;
};

class KvPressure : public ::testing::TestWithParam<KvCase> {};

TEST_P(KvPressure, ComparesWithThirtyPercentVramOrTwentyPercentRam) {
  ModelInfo model = gguf_model(std::nullopt);
  model.kv_cache_size_mb = GetParam().kv;
  HardwareProfile hw = cpu_only(8, SimdLevel::AVX2, GetParam().available_ram);
  if (GetParam().vram) hw = with_gpu(hw, GpuVendor::Nvidia, *GetParam().vram);
  EXPECT_EQ(assess_model(model, summarize_hardware(hw)).kv_pressure, GetParam().pressure);
}

INSTANTIATE_TEST_SUITE_P(
    Thresholds, KvPressure,
    ::testing::Values(KvCase{2457.6, 8192, 100000, false},  // exactly 0.3 x VRAM
                      KvCase{2458.0, 8192, 100000, true},
                      KvCase{1000.0, 16384, 1000, false},  // a GPU: RAM does not matter
                      KvCase{1000.0, std::nullopt, 1000, true},
                      KvCase{2000.0, std::nullopt, 10000, false},  // exactly 0.2 x RAM
                      KvCase{2000.5, std::nullopt, 10000, true},
                      KvCase{0.5, 0, 100000, true},  // a GPU without memory
                      KvCase{kNaN, 8192, 100000, false},
                      KvCase{std::nullopt, 0, 0, false}));

// ---------------------------------------------------------------------------
// Search-space rules

struct QuantCase {
  ModelFormat format;
  WorkloadClass workload;
  std::optional<std::uint64_t> params;
  std::uint64_t available_ram;
  std::vector<Quantization> expected;
};

class CandidateQuantizations : public ::testing::TestWithParam<QuantCase> {};

TEST_P(CandidateQuantizations, StartListFilteredByEightyPercentOfRam) {
  const QuantCase& c = GetParam();
  ModelAnalysis analysis;
  analysis.param_count = c.params;
  analysis.workload = c.workload;
  const HardwareSummary summary = summarize_hardware(cpu_only(8, SimdLevel::AVX2, c.available_ram));
  EXPECT_EQ(candidate_quantizations(summary, analysis, c.format), c.expected);
}

using Q = Quantization;
using W = WorkloadClass;
INSTANTIATE_TEST_SUITE_P(
    Lists, CandidateQuantizations,
    ::testing::Values(
        QuantCase{ModelFormat::Gguf, W::MemoryBound, std::nullopt, 0, {Q::Q4_K_M, Q::Q4_0}},
        QuantCase{ModelFormat::Gguf, W::ComputeBound, std::nullopt, 0, {Q::Q8_0, Q::Q4_K_M, Q::F16}},
        QuantCase{ModelFormat::Gguf, W::Balanced, std::nullopt, 0, {Q::Q4_K_M, Q::Q8_0}},
        QuantCase{ModelFormat::Onnx, W::MemoryBound, std::nullopt, 0, {Q::Int8, Q::F16}},
        QuantCase{ModelFormat::Onnx, W::ComputeBound, std::nullopt, 0, {Q::F16, Q::Int8}},
        QuantCase{ModelFormat::Onnx, W::Balanced, std::nullopt, 0, {Q::F16, Q::Int8}},
        // F16 weights (14000 MB) exceed 8000 MB; Q8_0 (7000 MB) fits.
        QuantCase{ModelFormat::Gguf, W::ComputeBound, 7000000000, 10000, {Q::Q8_0, Q::Q4_K_M}},
        // 0.8 x 8750 is exactly 7000: equal still fits.
        QuantCase{ModelFormat::Gguf, W::ComputeBound, 7000000000, 8750, {Q::Q8_0, Q::Q4_K_M}},
        QuantCase{ModelFormat::Gguf, W::ComputeBound, 7000000000, 8749, {Q::Q4_K_M}},
        QuantCase{ModelFormat::Onnx, W::MemoryBound, 7000000000, 100, {}}));

TEST(BuildSearchSpace, CollectsEveryDimension) {
  const HardwareSummary summary = summarize_hardware(
      with_gpu(cpu_only(8, SimdLevel::AVX2, 10000), GpuVendor::Nvidia, 8192));
  ModelInfo model = gguf_model(7000000000);
  model.feed_forward_length = 32768;
  model.hidden_size = 4096;
  const ModelAnalysis analysis = assess_model(model, summary);
  const SearchSpace space =
      build_search_space({RuntimeKind::LlamaCpp, RuntimeKind::Ollama}, summary, analysis, model);
  EXPECT_EQ(space.runtimes, (std::vector<RuntimeKind>{RuntimeKind::LlamaCpp, RuntimeKind::Ollama}));
  EXPECT_EQ(space.quantizations, (std::vector<Quantization>{Q::Q8_0, Q::Q4_K_M}));
  EXPECT_EQ(space.threads, (std::vector<std::uint32_t>{4, 8, 16}));
  EXPECT_EQ(space.batch_sizes, (std::vector<std::uint32_t>{128, 256, 512}));
  EXPECT_EQ(space.max_gpu_layers, 19u);
}

TEST(BuildSearchSpace, NothingFitsLeavesQ4KMAlone) {
  const HardwareSummary summary = summarize_hardware(cpu_only(4, SimdLevel::AVX2, 100));
  const ModelInfo model = gguf_model(70000000000);
  const SearchSpace space = build_search_space({RuntimeKind::LlamaCpp}, summary,
                                               assess_model(model, summary), model);
  EXPECT_EQ(space.quantizations, (std::vector<Quantization>{Q::Q4_K_M}));
  EXPECT_EQ(space.max_gpu_layers, 0u);
}

struct ThreadCase {
  std::uint32_t cores;
  std::vector<std::uint32_t> expected;
};

class ThreadCandidates : public ::testing::TestWithParam<ThreadCase> {};

TEST_P(ThreadCandidates, HalfAllAndTwiceWithinOneToSixtyFour) {
  EXPECT_EQ(thread_candidates(GetParam().cores), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cores, ThreadCandidates,
    ::testing::Values(ThreadCase{8, {4, 8, 16}}, ThreadCase{1, {1, 2}},
                      ThreadCase{40, {20, 40, 64}}, ThreadCase{64, {32, 64}}, ThreadCase{0, {1}},
                      // Twice the cores wraps modulo 2^32.
                      ThreadCase{2147483648u, {1, 64}}, ThreadCase{2147483649u, {2, 64}},
                      ThreadCase{4294967295u, {64}}));

struct LayersCase {
  std::optional<std::uint64_t> vram;  // absent: no GPU
  std::optional<std::uint64_t> params;
  std::uint32_t expected;
};

class MaxGpuLayers : public ::testing::TestWithParam<LayersCase> {};

TEST_P(MaxGpuLayers, ShareOfThirtyTwoLayersOrVramLadder) {
  HardwareProfile hw = cpu_only(8);
  if (GetParam().vram) hw = with_gpu(hw, GpuVendor::Nvidia, *GetParam().vram);
  EXPECT_EQ(max_gpu_layers(summarize_hardware(hw), gguf_model(GetParam().params)),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MaxGpuLayers,
    ::testing::Values(LayersCase{std::nullopt, 7000000000, 0}, LayersCase{std::nullopt, std::nullopt, 0},
                      LayersCase{8192, 7000000000, 19},   // 0.614 x 32 = 19.63
                      LayersCase{24576, 7000000000, 32},  // capped at the whole model
                      LayersCase{0, 7000000000, 0}, LayersCase{8192, 0, 0},
                      LayersCase{4095, std::nullopt, 16}, LayersCase{4096, std::nullopt, 32},
                      LayersCase{12287, std::nullopt, 32}, LayersCase{12288, std::nullopt, 48}));

// ---------------------------------------------------------------------------
// Hardware-aware estimate

struct EstimateCase {
  const char* name;
  HardwareProfile hardware;
  RuntimeConfig config;
  double tokens_per_sec;
  double latency_ms;
};

class EstimatePerformance : public ::testing::TestWithParam<EstimateCase> {};

TEST_P(EstimatePerformance, ThroughputAndLatencyToTheLastBit) {
  const EstimateCase& c = GetParam();
  const BenchmarkResult r = estimate_performance(c.config, gguf_model(std::nullopt), c.hardware);
  EXPECT_EQ(r.tokens_per_sec, c.tokens_per_sec) << c.name;
  EXPECT_EQ(r.latency_ms, c.latency_ms) << c.name;
}

RuntimeConfig config_of(Quantization q, std::uint32_t threads, std::uint32_t layers,
                        RuntimeKind runtime = RuntimeKind::LlamaCpp) {
  return RuntimeConfig{runtime, q, threads, 512, layers};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EstimatePerformance,
    ::testing::Values(
        EstimateCase{"eight_threads_avx2", cpu_only(8), config_of(Q::Q4_K_M, 8, 0), 19.2,
                     52.083333333333336},
        // Neither runtime nor batch size enters the estimate.
        EstimateCase{"runtime_ignored", cpu_only(8),
                     RuntimeConfig{RuntimeKind::Vllm, Q::Q4_K_M, 8, 1, 0}, 19.2,
                     52.083333333333336},
        EstimateCase{"gpu_sixteen_layers", with_gpu(cpu_only(8), GpuVendor::Nvidia, 8192),
                     config_of(Q::Q4_K_M, 8, 16), 56.43636363636364, 1000.0 / 56.43636363636364},
        EstimateCase{"gpu_no_layers", with_gpu(cpu_only(8), GpuVendor::Amd, 8192),
                     config_of(Q::Q4_K_M, 8, 0), 19.2, 52.083333333333336},
        EstimateCase{"layers_without_gpu", cpu_only(8), config_of(Q::Q4_K_M, 8, 16), 19.2,
                     52.083333333333336},
        EstimateCase{"half_the_cores", cpu_only(8), config_of(Q::Q4_K_M, 4, 0),
                     11.520000000000001, 1000.0 / 11.520000000000001},
        EstimateCase{"twice_the_cores", cpu_only(8), config_of(Q::Q4_K_M, 16, 0), 19.2,
                     52.083333333333336},
        EstimateCase{"no_threads", cpu_only(8), config_of(Q::Q4_K_M, 0, 0), 3.84, 1000.0 / 3.84},
        EstimateCase{"f16_avx512", cpu_only(8, SimdLevel::AVX512), config_of(Q::F16, 8, 0),
                     6.720000000000001, 148.8095238095238},
        EstimateCase{"q4_0_no_simd", cpu_only(8, SimdLevel::None), config_of(Q::Q4_0, 8, 0),
                     12.16, 1000.0 / 12.16},
        // No cores: T/C is NaN (0/0) or +inf (4/0), both full use; throughput 0.
        EstimateCase{"zero_over_zero", cpu_only(0), config_of(Q::Q4_K_M, 0, 0), 0.0, kInf},
        EstimateCase{"threads_over_zero", cpu_only(0), config_of(Q::Q4_K_M, 4, 0), 0.0, kInf}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EstimateGpuFactor, SixteenLayers) {
  const HardwareProfile hw = with_gpu(cpu_only(8), GpuVendor::Nvidia, 8192);
  const double with_layers =
      estimate_performance(config_of(Q::Q4_K_M, 8, 16), gguf_model(std::nullopt), hw).tokens_per_sec;
  EXPECT_NEAR(with_layers / 19.2, 2.9393939393939394, 1e-15);
}

struct PeakCase {
  std::optional<std::uint64_t> params;
  std::optional<double> footprint;
  std::optional<double> kv;
  Quantization q;
  std::uint64_t expected;
};

class EstimatePeakMemoryOfConfig : public ::testing::TestWithParam<PeakCase> {};

TEST_P(EstimatePeakMemoryOfConfig, WeightsTruncatedPlusKvCacheSaturating) {
  const PeakCase& c = GetParam();
  ModelInfo model = gguf_model(c.params);
  model.memory_footprint_mb = c.footprint;
  model.kv_cache_size_mb = c.kv;
  EXPECT_EQ(estimate_performance(config_of(c.q, 8, 0), model, cpu_only(8)).peak_memory_mb,
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EstimatePeakMemoryOfConfig,
    ::testing::Values(PeakCase{std::nullopt, 13351.4, std::nullopt, Q::Q4_K_M, 3337},
                      PeakCase{std::nullopt, 13351.4, 1024.5, Q::Q4_K_M, 3337 + 1024},
                      // The footprint wins over the parameter count.
                      PeakCase{7000000000, 13351.4, std::nullopt, Q::Q8_0, 6675},
                      PeakCase{7000000000, std::nullopt, std::nullopt, Q::Q4_K_M, 3500},
                      PeakCase{std::nullopt, std::nullopt, std::nullopt, Q::F16, 0},
                      PeakCase{std::nullopt, std::nullopt, 99.9, Q::F16, 99},
                      PeakCase{std::nullopt, kNaN, kNaN, Q::F16, 0},
                      PeakCase{std::nullopt, -5.0, 10.0, Q::F16, 10},
                      PeakCase{std::nullopt, 1e30, std::nullopt, Q::F16, kU64Max},
                      PeakCase{std::nullopt, 1.8446744073709552e19, kInf, Q::F16, kU64Max},
                      // Both parts fit alone; their sum saturates.
                      PeakCase{std::nullopt, 1.2e19, 1.2e19, Q::F16, kU64Max}));

// ---------------------------------------------------------------------------
// Bayesian search: designs and the generator

TEST(HaltonPoints, FirstFiveExactly) {
  const std::vector<Point> expected{
      {0.5, 0.3333333333333333, 0.2, 0.14285714285714285, 0.09090909090909091},
      {0.25, 0.6666666666666666, 0.4, 0.2857142857142857, 0.18181818181818182},
      {0.75, 0.1111111111111111, 0.6000000000000001, 0.42857142857142855, 0.2727272727272727},
      {0.125, 0.4444444444444444, 0.8, 0.5714285714285714, 0.36363636363636365},
      {0.625, 0.7777777777777777, 0.04, 0.7142857142857142, 0.4545454545454546},
  };
  const std::vector<Point> fractions{
      {1. / 2, 1. / 3, 1. / 5, 1. / 7, 1. / 11},  {1. / 4, 2. / 3, 2. / 5, 2. / 7, 2. / 11},
      {3. / 4, 1. / 9, 3. / 5, 3. / 7, 3. / 11},  {1. / 8, 4. / 9, 4. / 5, 4. / 7, 4. / 11},
      {5. / 8, 7. / 9, 1. / 25, 5. / 7, 5. / 11},
  };
  EXPECT_EQ(initial_points(5), expected);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(halton_point(i + 1), expected[i]);
    for (std::size_t d = 0; d < 5; ++d) EXPECT_NEAR(expected[i][d], fractions[i][d], 2e-16);
  }
  EXPECT_EQ(halton_point(0), (Point{0, 0, 0, 0, 0}));
  EXPECT_TRUE(initial_points(0).empty());
}

// Huge indices have up to 64 digits; the sum may round up to exactly 1.0
// (which decoding maps to the last entry) but never beyond.
TEST(HaltonPoints, StayWithinTheUnitIntervalForHugeIndices) {
  for (const std::uint64_t i : {kU64Max, kU64Max - 1, std::uint64_t{1} << 63}) {
    for (const double c : halton_point(i)) {
      EXPECT_GE(c, 0.0);
      EXPECT_LE(c, 1.0);
    }
  }
  EXPECT_EQ(halton_point(std::uint64_t{1} << 63)[0], 0x1p-64);
}

TEST(RandomPoint, SeedZero) {
  const Point p = random_point(0);
  const Point approx{0.078209, 0.101699, 0.605323, 0.401216, 0.383626};
  for (std::size_t d = 0; d < 5; ++d) EXPECT_NEAR(p[d], approx[d], 5e-7);
  EXPECT_EQ(p, (Point{0x1.4057b7ef76780p-4, 0x1.a08ee1184ba60p-4, 0x1.35ecf0445ce50p-1,
                      0x1.9ad86ba5fc824p-2, 0x1.88d53369889b4p-2}));
}

TEST(RandomPoint, TakesFiveConsecutiveGeneratorSteps) {
  std::uint64_t state = 2;
  Point stepped{};
  for (double& c : stepped) c = lcg_uniform(state);
  EXPECT_EQ(random_point(2), stepped);
  EXPECT_EQ(random_point(2), (Point{0.7682096868671324, 0.9171161254706481, 0.6913954653016277,
                                    0.3645105773212196, 0.2072697018873999}));
}

// ---------------------------------------------------------------------------
// Decoding

SearchSpace example_space(std::uint32_t max_layers = 19) {
  SearchSpace space;
  space.runtimes = {RuntimeKind::LlamaCpp, RuntimeKind::Ollama};
  space.quantizations = {Q::Q4_K_M, Q::Q8_0};
  space.threads = {4, 8, 16};
  space.batch_sizes = {128, 256, 512};
  space.max_gpu_layers = max_layers;
  return space;
}

struct DecodeCase {
  const char* name;
  Point point;
  std::uint32_t max_layers;
  RuntimeConfig expected;
};

class DecodePoint : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodePoint, MapsCoordinatesToListEntries) {
  const Result<RuntimeConfig> config = decode_point(GetParam().point, example_space(GetParam().max_layers));
  ASSERT_TRUE(config.has_value()) << config.error().text();
  EXPECT_EQ(*config, GetParam().expected) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodePoint,
    ::testing::Values(
        // 19 x 0.2 = 3.8 rounds to 4 layers.
        DecodeCase{"first_halton_point", halton_point(1), 19,
                   {RuntimeKind::Ollama, Q::Q4_K_M, 4, 128, 4}},
        DecodeCase{"ones_give_last_entries", {1.0, 1.0, 1.0, 1.0, 1.0}, 19,
                   {RuntimeKind::Ollama, Q::Q8_0, 16, 512, 19}},
        DecodeCase{"zeros_give_first_entries", {0.0, 0.0, 0.0, 0.0, 0.0}, 19,
                   {RuntimeKind::LlamaCpp, Q::Q4_K_M, 4, 128, 0}},
        DecodeCase{"no_gpu_layers", {0.0, 0.0, 0.99, 0.0, 0.0}, 0,
                   {RuntimeKind::LlamaCpp, Q::Q4_K_M, 4, 128, 0}},
        // 5 x 0.5 = 2.5 rounds away from zero, not to even.
        DecodeCase{"half_rounds_up", {0.0, 0.0, 0.5, 0.0, 0.0}, 5,
                   {RuntimeKind::LlamaCpp, Q::Q4_K_M, 4, 128, 3}},
        // Coordinates outside the cube clamp instead of indexing out of range.
        DecodeCase{"outside_the_cube", {-0.5, 7.0, 3.0, kNaN, -kInf}, 19,
                   {RuntimeKind::LlamaCpp, Q::Q8_0, 4, 128, 19}},
        DecodeCase{"nan_layers", {0.0, 0.0, kNaN, 0.0, 0.0}, 19,
                   {RuntimeKind::LlamaCpp, Q::Q4_K_M, 4, 128, 0}},
        DecodeCase{"max_layers_huge", {0.0, 0.0, 1.0, 0.0, 0.0}, 4294967295u,
                   {RuntimeKind::LlamaCpp, Q::Q4_K_M, 4, 128, 4294967295u}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DecodePointErrors, EmptyListIsAnErrorNotACrash) {
  SearchSpace space = example_space();
  space.runtimes.clear();
  const Result<RuntimeConfig> config = decode_point(halton_point(1), space);
  ASSERT_FALSE(config.has_value());
  EXPECT_EQ(config.error().text(), "cannot decode a search point: the search space has no runtimes");
}

// ---------------------------------------------------------------------------
// Grouping and densities

std::vector<Observation> halton_observations(const std::vector<double>& values) {
  std::vector<Observation> obs;
  for (std::size_t i = 0; i < values.size(); ++i) obs.push_back({halton_point(i + 1), values[i]});
  return obs;
}

BayesianSearch search_with(const std::vector<double>& values) {
  BayesianSearch state;
  for (const Observation& o : halton_observations(values)) observe(state, o.point, o.value);
  return state;
}

struct GroupSizeCase {
  std::uint64_t count;
  double gamma;
  std::uint64_t expected;
};

class GoodGroupSize : public ::testing::TestWithParam<GroupSizeCase> {};

TEST_P(GoodGroupSize, CeilingOfTheShareAtLeastOne) {
  EXPECT_EQ(good_group_size(GetParam().count, GetParam().gamma), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, GoodGroupSize,
    ::testing::Values(GroupSizeCase{3, 0.25, 1}, GroupSizeCase{4, 0.25, 1},
                      GroupSizeCase{5, 0.25, 2}, GroupSizeCase{8, 0.25, 2},
                      GroupSizeCase{9, 0.25, 3}, GroupSizeCase{12, 0.25, 3},
                      GroupSizeCase{4, 0.0, 1}, GroupSizeCase{4, kNaN, 1},
                      GroupSizeCase{4, 3.0, 4}));

TEST(RankByValue, HighestFirstTiesInRecordingOrder) {
  const std::vector<Observation> obs = halton_observations({5.0, 9.0, 9.0, 1.0, 9.0});
  const std::vector<Observation> ranked = rank_by_value(obs);
  ASSERT_EQ(ranked.size(), 5u);
  const std::vector<Point> order{obs[1].point, obs[2].point, obs[4].point, obs[0].point,
                                 obs[3].point};
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(ranked[i].point, order[i]) << i;
}

TEST(RankByValue, NanKeepsItsPlaceAndNothingCrossesIt) {
  const std::vector<Observation> obs = halton_observations({1.0, 3.0, kNaN, 2.0, 8.0, -kInf});
  const std::vector<Observation> ranked = rank_by_value(obs);
  ASSERT_EQ(ranked.size(), 6u);
  const std::vector<Point> order{obs[1].point, obs[0].point, obs[2].point,
                                 obs[4].point, obs[3].point, obs[5].point};
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(ranked[i].point, order[i]) << i;
}

TEST(ParzenDensity, EmptyGroupIsTheFloor) {
  EXPECT_EQ(parzen_density(halton_point(1), {}), 1e-10);
}

TEST(ParzenDensity, SingleObservationAssumesSpreadPointTwo) {
  const std::vector<Observation> one = halton_observations({1.0});
  for (const double h : parzen_bandwidths(one)) EXPECT_EQ(h, 0.21200000000000002);
  EXPECT_EQ(parzen_density({0.5, 0.5, 0.5, 0.5, 0.5}, one), 0.2393231203090567);
}

TEST(ParzenDensity, GroupOfTwoUsesSampleDeviation) {
  const std::vector<Observation> two = halton_observations({1.0, 2.0});
  const std::array<double, 5> expected{0.16312663476820144, 0.21750217969093522,
                                       0.13050130781456115, 0.09321521986754366,
                                       0.059318776279345974};
  EXPECT_EQ(parzen_bandwidths(two), expected);
  EXPECT_EQ(parzen_density({0.3, 0.3, 0.3, 0.3, 0.3}, two), 4.637712546652292);
}

TEST(ParzenDensity, IdenticalPointsUseTheMinimumDeviation) {
  const std::vector<Observation> same{{halton_point(1), 1.0}, {halton_point(1), 2.0}};
  for (const double h : parzen_bandwidths(same)) EXPECT_EQ(h, 0.009227835970938916);
  EXPECT_TRUE(std::isfinite(parzen_density(halton_point(1), same)));
}

// ---------------------------------------------------------------------------
// Proposals

struct FewCase {
  std::size_t observations;
  std::uint64_t iteration;
  std::uint64_t seed;
};

class SuggestWithFewObservations : public ::testing::TestWithParam<FewCase> {};

TEST_P(SuggestWithFewObservations, IsTheRandomPointOfIterationPlusCount) {
  const BayesianSearch state = search_with(std::vector<double>(GetParam().observations, 1.0));
  EXPECT_EQ(suggest_next(state, 24, GetParam().iteration), random_point(GetParam().seed));
}

INSTANTIATE_TEST_SUITE_P(Seeds, SuggestWithFewObservations,
                         ::testing::Values(FewCase{0, 0, 0}, FewCase{2, 0, 2}, FewCase{1, 6, 7},
                                           FewCase{2, kU64Max, 1}));

struct SuggestCase {
  const char* name;
  std::vector<double> values;
  std::uint64_t iteration;
  Point expected;
};

class SuggestNext : public ::testing::TestWithParam<SuggestCase> {};

TEST_P(SuggestNext, PicksTheCandidateWithTheBestDensityRatio) {
  const BayesianSearch state = search_with(GetParam().values);
  const Point first = suggest_next(state, 24, GetParam().iteration);
  EXPECT_EQ(first, GetParam().expected) << GetParam().name;
  // Pure: the state is untouched and a second call agrees.
  EXPECT_EQ(state.observations.size(), GetParam().values.size());
  EXPECT_EQ(suggest_next(state, 24, GetParam().iteration), first);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SuggestNext,
    ::testing::Values(
        SuggestCase{"five_initial_points",
                    {12.0, 30.5, 7.25, 30.5, 18.0},
                    0,
                    {0.06649989948606128, 0.9844282754314244, 0.886107729651594, 0.349289932886623,
                     0.33439179932404217}},
        SuggestCase{"twelve_observations",
                    {3, 9, 4, 1, 8, 2, 7, 5, 6, 10, 12, 11},
                    6,
                    {0.4465019634637388, 0.6152630057791348, 0.058252015004382374,
                     0.27587868013846095, 0.9816796098595137}},
        // A tie for the single good slot goes to the earlier observation
        // (the second); had the third won, the answer would differ.
        SuggestCase{"tie_keeps_recording_order",
                    {1.0, 9.0, 9.0, 1.0},
                    3,
                    {0.4465019634637388, 0.6152630057791348, 0.058252015004382374,
                     0.27587868013846095, 0.9816796098595137}},
        SuggestCase{"third_alone_is_good",
                    {1.0, 1.0, 9.0, 1.0},
                    3,
                    {0.8615055754246745, 0.46922378388762787, 0.3595045143717621,
                     0.1474089878291771, 0.8644332782965889}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SuggestNextEdges, WithoutCandidatesFallsBackToSeedIteration) {
  EXPECT_EQ(suggest_next(search_with({1.0, 2.0, 3.0}), 0, 9), random_point(9));
}

TEST(SuggestNextEdges, AllObservationsGoodStillProposes) {
  BayesianSearch state = search_with({1.0, 2.0, 3.0});
  state.gamma = 1.0;  // empty bad group: ratio over the floor
  const Point p = suggest_next(state, 24, 0);
  bool from_candidates = false;
  for (std::uint64_t j = 0; j < 24; ++j) from_candidates |= p == random_point(0xDEADBEEFull + j);
  EXPECT_TRUE(from_candidates);
}

// ---------------------------------------------------------------------------
// Preselection

struct PreselectCase {
  const char* name;
  ModelFormat format;
  std::optional<GpuVendor> vendor;  // absent: no GPU
  std::uint64_t vram;
  bool kv_pressure;
  std::vector<RuntimeKind> expected;
  Lines lines;
};

class Preselect : public ::testing::TestWithParam<PreselectCase> {};

TEST_P(Preselect, ListAndEliminationLines) {
  const PreselectCase& c = GetParam();
  HardwareProfile hw = cpu_only(8);
  if (c.vendor) hw = with_gpu(hw, *c.vendor, c.vram);
  ModelAnalysis analysis;
  analysis.kv_pressure = c.kv_pressure;
  CapturedProgress progress;
  EXPECT_EQ(preselect_runtimes(summarize_hardware(hw), analysis, c.format, progress), c.expected);
  EXPECT_EQ(progress.lines(), c.lines);
}

using R = RuntimeKind;
const std::string kNoTensorRt = "[Stage 3/7] Eliminated TensorRT: TensorRT requires NVIDIA GPU";
const std::string kNoVllmGpu = "[Stage 3/7] Eliminated Vllm: vLLM requires a GPU";
const std::string kNoVllmKv = "[Stage 3/7] Eliminated Vllm: vLLM cannot handle KV pressure without VRAM";

INSTANTIATE_TEST_SUITE_P(
    Cases, Preselect,
    ::testing::Values(
        PreselectCase{"gguf_no_gpu", ModelFormat::Gguf, std::nullopt, 0, true,
                      {R::LlamaCpp, R::Ollama}, {}},
        PreselectCase{"gguf_amd", ModelFormat::Gguf, GpuVendor::Amd, 0, true,
                      {R::LlamaCpp, R::Ollama}, {}},
        PreselectCase{"onnx_nvidia", ModelFormat::Onnx, GpuVendor::Nvidia, 8192, false,
                      {R::TensorRT, R::OnnxRuntime, R::Vllm}, {}},
        PreselectCase{"onnx_nvidia_kv_with_vram", ModelFormat::Onnx, GpuVendor::Nvidia, 8192, true,
                      {R::TensorRT, R::OnnxRuntime, R::Vllm}, {}},
        PreselectCase{"onnx_nvidia_zero_vram", ModelFormat::Onnx, GpuVendor::Nvidia, 0, false,
                      {R::TensorRT, R::OnnxRuntime, R::Vllm}, {}},
        PreselectCase{"onnx_nvidia_zero_vram_kv", ModelFormat::Onnx, GpuVendor::Nvidia, 0, true,
                      {R::TensorRT, R::OnnxRuntime}, {kNoVllmKv}},
        PreselectCase{"onnx_amd", ModelFormat::Onnx, GpuVendor::Amd, 16368, true,
                      {R::OnnxRuntime, R::Vllm}, {kNoTensorRt}},
        PreselectCase{"onnx_amd_zero_vram_kv", ModelFormat::Onnx, GpuVendor::Amd, 0, true,
                      {R::OnnxRuntime}, {kNoTensorRt, kNoVllmKv}},
        PreselectCase{"onnx_no_gpu", ModelFormat::Onnx, std::nullopt, 0, false,
                      {R::OnnxRuntime}, {kNoTensorRt, kNoVllmGpu}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Outcomes of the measured fallback

BenchmarkOutcome succeeded(RuntimeKind runtime, double tokens_per_sec, std::uint32_t threads = 8) {
  return {config_of(Q::Q4_K_M, threads, 0, runtime),
          BenchmarkResult{tokens_per_sec, 1000.0 / tokens_per_sec, 100}};
}

BenchmarkOutcome failed(RuntimeKind runtime, Error error, std::uint32_t threads = 8) {
  return {config_of(Q::Q4_K_M, threads, 0, runtime), std::unexpected(std::move(error))};
}

Error not_installed(const std::string& binary) {
  return Error(AdapterError::not_installed(binary, "install it"));
}

// The way the benchmark runner reports it: the adapter's error under context.
Error not_installed_in_context(const std::string& binary) {
  return not_installed(binary).wrap("initialize adapter").wrap("benchmark failed");
}

TEST(CollectFailureReasons, RootCausesSortedByByteAndDistinct) {
  const std::vector<BenchmarkOutcome> outcomes{
      failed(R::LlamaCpp, Error("zeta")),
      succeeded(R::Ollama, 10.0),
      failed(R::Ollama, Error("\xc3\xa9t\xc3\xa9").wrap("outer")),  // non-ASCII sorts last
      failed(R::Ollama, Error("Zeta").wrap("middle").wrap("outer")),
      failed(R::LlamaCpp, Error("zeta").wrap("another context")),
      failed(R::LlamaCpp, not_installed_in_context("llama-cli")),
  };
  EXPECT_EQ(collect_failure_reasons(outcomes),
            (Lines{"Zeta", "required binary 'llama-cli' was not found in PATH \u2014 install it",
                   "zeta", "\xc3\xa9t\xc3\xa9"}));
  EXPECT_TRUE(collect_failure_reasons(std::vector<BenchmarkOutcome>{succeeded(R::Vllm, 1.0)}).empty());
}

TEST(CollectMissingBinaries, NotInstalledAnywhereInTheChain) {
  const std::vector<BenchmarkOutcome> outcomes{
      failed(R::Ollama, not_installed_in_context("ollama")),
      failed(R::LlamaCpp, not_installed("llama-cli")),
      failed(R::Ollama, not_installed("ollama"), 4),
      failed(R::TensorRT, Error(AdapterError::inference_failed("trtexec crashed"))),
      failed(R::Vllm, Error("plain failure")),
      succeeded(R::OnnxRuntime, 5.0),
  };
  EXPECT_EQ(collect_missing_binaries(outcomes), (Lines{"llama-cli", "ollama"}));
}

struct SubstituteCase {
  const char* name;
  std::vector<BenchmarkOutcome> outcomes;
  bool substituted;
};

class SubstituteEstimates : public ::testing::TestWithParam<SubstituteCase> {};

TEST_P(SubstituteEstimates, OnlyWhenEveryLlamaCppFailureIsAMissingProgram) {
  const SubstituteCase& c = GetParam();
  const ModelInfo model = gguf_model(7000000000);
  const HardwareProfile hw = cpu_only(8);
  CapturedProgress progress;
  const std::vector<BenchmarkOutcome> out =
      substitute_llamacpp_estimates(c.outcomes, model, hw, progress);

  ASSERT_EQ(out.size(), c.outcomes.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    const BenchmarkOutcome& before = c.outcomes[i];
    EXPECT_EQ(out[i].config, before.config) << c.name << " " << i;
    const bool replaced = c.substituted && before.config.runtime == R::LlamaCpp && !before.result;
    if (replaced) {
      ASSERT_TRUE(out[i].result.has_value()) << c.name << " " << i;
      EXPECT_EQ(*out[i].result, estimate_performance(before.config, model, hw));
    } else if (before.result) {
      ASSERT_TRUE(out[i].result.has_value());
      EXPECT_EQ(*out[i].result, *before.result);
    } else {
      ASSERT_FALSE(out[i].result.has_value()) << c.name << " " << i;
      EXPECT_EQ(out[i].result.error().text(), before.result.error().text());
    }
  }
  const Lines expected_lines =
      c.substituted
          ? Lines{"[halvorn] llama-cli not found \u2014 using hardware-aware estimates for GGUF configs"}
          : Lines{};
  EXPECT_EQ(progress.lines(), expected_lines) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubstituteEstimates,
    ::testing::Values(
        SubstituteCase{"llama_missing_ollama_measured",
                       {failed(R::LlamaCpp, not_installed_in_context("llama-cli"), 4),
                        succeeded(R::Ollama, 33.0),
                        failed(R::LlamaCpp, not_installed("llama-cli"), 16)},
                       true},
        SubstituteCase{"one_other_failure_blocks_substitution",
                       {failed(R::LlamaCpp, not_installed("llama-cli"), 4),
                        failed(R::LlamaCpp, Error(AdapterError::inference_failed("exit 1")), 8)},
                       false},
        SubstituteCase{"one_success_blocks_substitution",
                       {failed(R::LlamaCpp, not_installed("llama-cli"), 4),
                        succeeded(R::LlamaCpp, 20.0)},
                       false},
        SubstituteCase{"no_llamacpp_configs",
                       {failed(R::Ollama, not_installed("ollama")), succeeded(R::Ollama, 5.0)},
                       false},
        SubstituteCase{"empty", {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SkipNotInstalled, DropsMissingProgramsOneLinePerProgramInByteOrder) {
  std::vector<BenchmarkOutcome> outcomes{
      failed(R::Vllm, not_installed_in_context("python3"), 1),
      succeeded(R::OnnxRuntime, 5.0, 2),
      failed(R::Ollama, not_installed("ollama"), 3),
      failed(R::TensorRT, Error("trtexec exited with status 1"), 4),
      failed(R::Ollama, not_installed_in_context("ollama"), 5),
  };
  CapturedProgress progress;
  const std::vector<BenchmarkOutcome> kept = skip_not_installed(std::move(outcomes), progress);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].config.threads, 2u);
  EXPECT_EQ(kept[1].config.threads, 4u);
  EXPECT_FALSE(kept[1].result.has_value());  // other failures stay for the selection
  EXPECT_EQ(progress.lines(),
            (Lines{"[halvorn] ollama not found \u2014 skipping configs that require it",
                   "[halvorn] python3 not found \u2014 skipping configs that require it"}));
}

// Both programs absent: llama.cpp configurations become estimates, Ollama
// configurations are skipped, and the missing list (collected first) still
// names both.
TEST(MissingRuntimeHandling, BothProgramsAbsentInPipelineOrder) {
  const ModelInfo model = gguf_model(7000000000);
  const HardwareProfile hw = cpu_only(8);
  const std::vector<BenchmarkOutcome> measured{
      failed(R::LlamaCpp, not_installed_in_context("llama-cli"), 4),
      failed(R::Ollama, not_installed_in_context("ollama"), 4),
      failed(R::LlamaCpp, not_installed_in_context("llama-cli"), 8),
      failed(R::Ollama, not_installed_in_context("ollama"), 8),
  };
  EXPECT_EQ(collect_missing_binaries(measured), (Lines{"llama-cli", "ollama"}));
  EXPECT_EQ(collect_failure_reasons(measured).size(), 2u);

  CapturedProgress progress;
  const std::vector<BenchmarkOutcome> kept =
      skip_not_installed(substitute_llamacpp_estimates(measured, model, hw, progress), progress);
  ASSERT_EQ(kept.size(), 2u);
  for (const BenchmarkOutcome& o : kept) {
    EXPECT_EQ(o.config.runtime, R::LlamaCpp);
    ASSERT_TRUE(o.result.has_value());
  }
  EXPECT_EQ(kept[0].config.threads, 4u);
  EXPECT_EQ(kept[1].result->tokens_per_sec, 19.2);
  EXPECT_EQ(progress.lines(),
            (Lines{"[halvorn] llama-cli not found \u2014 using hardware-aware estimates for GGUF configs",
                   "[halvorn] ollama not found \u2014 skipping configs that require it"}));
}

// ---------------------------------------------------------------------------
// Progress output

TEST(StderrProgress, WritesWholeLinesToDescriptorTwo) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const int saved = ::dup(STDERR_FILENO);
  ASSERT_GE(saved, 0);
  ASSERT_GE(::dup2(fds[1], STDERR_FILENO), 0);
  StderrProgress progress;
  progress.write_line("[Stage 3/7] Eliminated Vllm: vLLM requires a GPU");
  progress.write_line("");
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(fds[1]);
  std::string got;
  char buf[256];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  EXPECT_EQ(got, "[Stage 3/7] Eliminated Vllm: vLLM requires a GPU\n\n");
}

}  // namespace
}  // namespace halvorn
