// Describes the machine the process runs on.  Detection never fails: every
// probe that does not work falls through to the next source or a default.
// Each parser is a pure function over text so tests can feed it directly.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/records.hpp"

namespace halvorn {

// Processor, then GPU (NVIDIA, else AMD), then memory.  Starts at most three
// vendor tools, one after another, each waited for without a time limit.
HardwareProfile detect_hardware();

// --- pieces, exposed for tests -------------------------------------------

// The GPU step alone: nvidia-smi, then rocm-smi, then amd-smi, each started
// by name through PATH; the first that yields a GPU wins.
std::optional<GpuInfo> detect_gpu();

// Logical CPUs available to the process: the affinity mask (or the online
// processors), capped by the control group's CPU quota, which is read once
// per process.
std::uint32_t detect_core_count();

// "model name" line of /proc/cpuinfo: the trimmed text after its first ':'.
std::optional<std::string> parse_cpuinfo_brand(std::string_view cpuinfo);

// MemTotal / MemAvailable of /proc/meminfo, in KiB.
struct MeminfoValues {
  std::optional<std::uint64_t> total_kib;
  std::optional<std::uint64_t> available_kib;
};
MeminfoValues parse_meminfo(std::string_view meminfo);

// Memory in MiB from /proc/meminfo text; nothing without a usable MemTotal.
std::optional<RamInfo> ram_from_meminfo(std::string_view meminfo);

// First GPU line of `nvidia-smi --query-gpu=name,memory.total,compute_cap
// --format=csv,noheader,nounits`.
std::optional<GpuInfo> parse_nvidia_smi(std::string_view output);

// The CSV tables of `rocm-smi --showproductname --showmeminfo vram --csv` and
// `amd-smi monitor --gpu --csv`.
std::optional<GpuInfo> parse_rocm_smi(std::string_view output);
std::optional<GpuInfo> parse_amd_smi(std::string_view output);

// CPU limit of the process's control group under `root` (normally "/"):
// quota divided by period, rounded up; nothing without a quota.  The group
// is found through root/proc/self/cgroup and root/proc/self/mountinfo;
// cgroup v2 (cpu.max) is preferred, v1 (cpu.cfs_quota_us and
// cpu.cfs_period_us) is read when the v2 group has no cpu.max.
std::optional<std::uint32_t> cgroup_cpu_limit(const std::filesystem::path& root);

// The registers of one CPUID leaf.
struct CpuidLeaf {
  std::uint32_t eax = 0;
  std::uint32_t ebx = 0;
  std::uint32_t ecx = 0;
  std::uint32_t edx = 0;
};

// The brand string of leaves 0x80000002..0x80000004 (EAX, EBX, ECX, EDX of
// each, in order), cut at its first NUL and trimmed; may be empty.
std::string brand_from_cpuid(const std::array<CpuidLeaf, 3>& brand_leaves);

// Vector level from the highest basic leaf (leaf 0 EAX), leaf 1 ECX and
// leaf 7 sub-leaf 0 EBX.  No operating-system support is checked.
SimdLevel simd_level_from_cpuid(std::uint32_t max_basic_leaf, std::uint32_t leaf1_ecx,
                                std::uint32_t leaf7_ebx);

}  // namespace halvorn
