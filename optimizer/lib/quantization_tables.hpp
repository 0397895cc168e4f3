// Constant tables of the performance model, the saturating conversions its
// estimates end in, and the peak-memory estimate from a parameter count
// that the adapters report for programs which do not measure memory.
#pragma once

#include <cstdint>

#include "core/records.hpp"
#include "optimizer/lib/pipeline_records.hpp"

namespace halvorn {

// Bytes each parameter takes in the quantization.
double bytes_per_param(Quantization q) noexcept;
// Weights size relative to two bytes per parameter.
double memory_scale(Quantization q) noexcept;
// Relative decoding speed; Q4_K_M is 1.0.
double speed_factor(Quantization q) noexcept;
// Relative speed of the CPU's widest vector instructions; AVX is 1.0.
double simd_factor(SimdLevel s) noexcept;

// Truncation toward zero that never overflows: negative values and NaN give
// 0, values at or above 2^64 (2^32) give the largest value.
std::uint64_t saturating_u64(double value) noexcept;
std::uint32_t saturating_u32(double value) noexcept;

// Peak memory in megabytes of 10^6 bytes: parameter count times bytes per
// parameter; 0 without a parameter count.
std::uint64_t estimate_peak_memory_mb(const ModelInfo& model, Quantization q) noexcept;

}  // namespace halvorn
