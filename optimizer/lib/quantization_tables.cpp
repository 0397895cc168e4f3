#include "optimizer/lib/quantization_tables.hpp"

#include <array>
#include <cstddef>
#include <limits>

namespace halvorn {
namespace {

struct QuantizationRow {
  double bytes_per_param;
  double memory_scale;
  double speed_factor;
};

// Indexed by the declaration order of Quantization.
constexpr std::array<QuantizationRow, 6> kQuantizationRows{{
    {2.0, 1.0, 0.28},   // F16
    {1.0, 0.5, 0.55},   // Q8_0
    {0.5, 0.25, 1.0},   // Q4_K_M
    {0.5, 0.25, 0.95},  // Q4_0
    {1.0, 0.5, 0.55},   // Int8
    {0.5, 0.25, 1.0},   // Int4
}};

// Indexed by the declaration order of SimdLevel.
constexpr std::array<double, 4> kSimdFactors{0.8, 1.0, 1.2, 1.5};

const QuantizationRow& row(Quantization q) noexcept {
  auto index = static_cast<std::size_t>(q);
  // An out-of-range value can only come from a cast; treat it as F16
  // rather than read past the table.
  if (index >= kQuantizationRows.size()) index = 0;
  return kQuantizationRows[index];
}

}  // namespace

double bytes_per_param(Quantization q) noexcept { return row(q).bytes_per_param; }
double memory_scale(Quantization q) noexcept { return row(q).memory_scale; }
double speed_factor(Quantization q) noexcept { return row(q).speed_factor; }

double simd_factor(SimdLevel s) noexcept {
  auto index = static_cast<std::size_t>(s);
  if (index >= kSimdFactors.size()) index = 0;
  return kSimdFactors[index];
}

std::uint64_t saturating_u64(double value) noexcept {
  if (!(value > 0.0)) return 0;  // negative, zero or NaN
  if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

std::uint32_t saturating_u32(double value) noexcept {
  if (!(value > 0.0)) return 0;
  if (value >= 4294967296.0) return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(value);
}

std::uint64_t estimate_peak_memory_mb(const ModelInfo& model, Quantization q) noexcept {
  if (!model.param_count) return 0;
  const double megabytes = static_cast<double>(*model.param_count) * bytes_per_param(q) / 1000000.0;
  return saturating_u64(megabytes);
}

}  // namespace halvorn
