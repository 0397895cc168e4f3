// The live probes behind the CPU part of detection.  Internal to hardware/.
#pragma once

#include <string>

#include "core/records.hpp"

namespace halvorn {

// CPUID brand string, else the "model name" of /proc/cpuinfo, else "Unknown".
std::string detect_cpu_brand();

// The vector level CPUID reports.
SimdLevel detect_simd_level();

}  // namespace halvorn
