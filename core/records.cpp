#include "core/records.hpp"

#include <array>

namespace halvorn {
namespace {

constexpr std::array<std::string_view, 5> kRuntimeTexts = {"LlamaCpp", "OnnxRuntime", "TensorRT",
                                                           "Ollama", "Vllm"};
constexpr std::array<std::string_view, 6> kQuantTexts = {"F16",    "Q8_0", "Q4_K_M",
                                                         "Q4_0",   "Int8", "Int4"};
constexpr std::array<std::string_view, 4> kVendorTexts = {"Nvidia", "Amd", "Apple", "Unknown"};
constexpr std::array<std::string_view, 4> kSimdTexts = {"None", "AVX", "AVX2", "AVX512"};

constexpr std::array<RuntimeKind, 5> kRuntimes = {RuntimeKind::LlamaCpp, RuntimeKind::OnnxRuntime,
                                                  RuntimeKind::TensorRT, RuntimeKind::Ollama,
                                                  RuntimeKind::Vllm};
constexpr std::array<Quantization, 6> kQuants = {Quantization::F16,    Quantization::Q8_0,
                                                 Quantization::Q4_K_M, Quantization::Q4_0,
                                                 Quantization::Int8,   Quantization::Int4};
constexpr std::array<GpuVendor, 4> kVendors = {GpuVendor::Nvidia, GpuVendor::Amd, GpuVendor::Apple,
                                               GpuVendor::Unknown};
constexpr std::array<SimdLevel, 4> kSimds = {SimdLevel::None, SimdLevel::AVX, SimdLevel::AVX2,
                                             SimdLevel::AVX512};

template <class Enum, std::size_t N>
std::optional<Enum> parse(std::string_view s, const std::array<std::string_view, N>& texts,
                          const std::array<Enum, N>& values) noexcept {
  for (std::size_t i = 0; i < N; ++i) {
    if (texts[i] == s) return values[i];
  }
  return std::nullopt;
}

}  // namespace

std::string_view text(RuntimeKind v) noexcept { return kRuntimeTexts[static_cast<std::size_t>(v)]; }
std::string_view text(Quantization v) noexcept { return kQuantTexts[static_cast<std::size_t>(v)]; }
std::string_view text(GpuVendor v) noexcept { return kVendorTexts[static_cast<std::size_t>(v)]; }
std::string_view text(SimdLevel v) noexcept { return kSimdTexts[static_cast<std::size_t>(v)]; }

std::span<const RuntimeKind> all_runtime_kinds() noexcept { return kRuntimes; }
std::span<const Quantization> all_quantizations() noexcept { return kQuants; }
std::span<const GpuVendor> all_gpu_vendors() noexcept { return kVendors; }
std::span<const SimdLevel> all_simd_levels() noexcept { return kSimds; }

std::optional<RuntimeKind> parse_runtime_kind(std::string_view s) noexcept {
  return parse(s, kRuntimeTexts, kRuntimes);
}
std::optional<Quantization> parse_quantization(std::string_view s) noexcept {
  return parse(s, kQuantTexts, kQuants);
}
std::optional<GpuVendor> parse_gpu_vendor(std::string_view s) noexcept {
  return parse(s, kVendorTexts, kVendors);
}
std::optional<SimdLevel> parse_simd_level(std::string_view s) noexcept {
  return parse(s, kSimdTexts, kSimds);
}

}  // namespace halvorn
