// The records that travel between the subsystems and out of the system,
// and the enumerations they use.  Plain values: copied whole, no identity.
// Member order is declaration order, which is also the JSON order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace halvorn {

// The numeric value of each enumerator is its declaration order; other
// modules index tables with it.
enum class RuntimeKind : std::uint8_t { LlamaCpp, OnnxRuntime, TensorRT, Ollama, Vllm };
enum class Quantization : std::uint8_t { F16, Q8_0, Q4_K_M, Q4_0, Int8, Int4 };
enum class GpuVendor : std::uint8_t { Nvidia, Amd, Apple, Unknown };
enum class SimdLevel : std::uint8_t { None, AVX, AVX2, AVX512 };

// The one text of each value: display, JSON and the only text read back.
std::string_view text(RuntimeKind value) noexcept;
std::string_view text(Quantization value) noexcept;
std::string_view text(GpuVendor value) noexcept;
std::string_view text(SimdLevel value) noexcept;

// Every value in declaration order (for parsing and for tests).
std::span<const RuntimeKind> all_runtime_kinds() noexcept;
std::span<const Quantization> all_quantizations() noexcept;
std::span<const GpuVendor> all_gpu_vendors() noexcept;
std::span<const SimdLevel> all_simd_levels() noexcept;

// Exact, case-sensitive reading of the texts above.
std::optional<RuntimeKind> parse_runtime_kind(std::string_view s) noexcept;
std::optional<Quantization> parse_quantization(std::string_view s) noexcept;
std::optional<GpuVendor> parse_gpu_vendor(std::string_view s) noexcept;
std::optional<SimdLevel> parse_simd_level(std::string_view s) noexcept;

struct CpuInfo {
  std::uint32_t core_count = 0;
  std::string brand = "Unknown";
  SimdLevel simd_level = SimdLevel::None;
};

struct GpuInfo {
  std::string name;
  std::uint64_t vram_mb = 0;  // MiB
  std::optional<std::pair<std::uint32_t, std::uint32_t>> compute_capability;
  GpuVendor vendor = GpuVendor::Unknown;
};

struct RamInfo {
  std::uint64_t total_mb = 0;      // MiB
  std::uint64_t available_mb = 0;  // MiB; 0 when not reported
};

struct HardwareProfile {
  CpuInfo cpu;
  std::optional<GpuInfo> gpu;  // absent: plan for the CPU only
  RamInfo ram;
};

struct RuntimeConfig {
  RuntimeKind runtime = RuntimeKind::LlamaCpp;
  Quantization quantization = Quantization::F16;
  std::uint32_t threads = 0;
  std::uint32_t batch_size = 0;
  std::uint32_t gpu_layers = 0;  // 0: CPU only

  friend bool operator==(const RuntimeConfig&, const RuntimeConfig&) = default;
};

struct BenchmarkResult {
  double tokens_per_sec = 0.0;
  double latency_ms = 0.0;
  std::uint64_t peak_memory_mb = 0;  // MiB

  friend bool operator==(const BenchmarkResult&, const BenchmarkResult&) = default;
};

struct OptimizationResult {
  RuntimeConfig config;
  BenchmarkResult metrics;

  friend bool operator==(const OptimizationResult&, const OptimizationResult&) = default;
};

}  // namespace halvorn
