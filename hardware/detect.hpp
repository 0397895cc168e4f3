// Describes the machine the process runs on.  Detection never fails: every
// probe that does not work falls through to the next source or a default.
// Each parser is a pure function over text so tests can feed it directly.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/records.hpp"

namespace halvorn {

HardwareProfile detect_hardware();

// --- pieces, exposed for tests -------------------------------------------

// "model name" line of /proc/cpuinfo: the trimmed text after its first ':'.
std::optional<std::string> parse_cpuinfo_brand(std::string_view cpuinfo);

// MemTotal / MemAvailable of /proc/meminfo, in KiB.
struct MeminfoValues {
  std::optional<std::uint64_t> total_kib;
  std::optional<std::uint64_t> available_kib;
};
MeminfoValues parse_meminfo(std::string_view meminfo);

// First GPU line of `nvidia-smi --query-gpu=name,memory.total,compute_cap
// --format=csv,noheader,nounits`.
std::optional<GpuInfo> parse_nvidia_smi(std::string_view output);

// The CSV tables of `rocm-smi --showproductname --showmeminfo vram --csv` and
// `amd-smi monitor --gpu --csv`.
std::optional<GpuInfo> parse_rocm_smi(std::string_view output);
std::optional<GpuInfo> parse_amd_smi(std::string_view output);

// CPU limit of the process's control group under `root` (normally "/"):
// quota divided by period, rounded up; nothing without a quota.
std::optional<std::uint32_t> cgroup_cpu_limit(const std::filesystem::path& root);

}  // namespace halvorn
