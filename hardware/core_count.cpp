// Logical CPUs available to the process.
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>

#include "hardware/detect.hpp"

namespace halvorn {
namespace {

struct CpuSetFree {
  void operator()(cpu_set_t* set) const noexcept { CPU_FREE(set); }
};

// The number of CPUs in the affinity mask, growing the set until the kernel
// accepts its size (machines may have more CPUs than a cpu_set_t holds).
std::optional<std::uint64_t> affinity_count() {
  for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
    std::unique_ptr<cpu_set_t, CpuSetFree> set(CPU_ALLOC(cpus));
    if (!set) return std::nullopt;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set.get());
    if (::sched_getaffinity(0, size, set.get()) == 0) {
      const int count = CPU_COUNT_S(size, set.get());
      if (count <= 0) return std::nullopt;
      return static_cast<std::uint64_t>(count);
    }
    if (errno != EINVAL) return std::nullopt;
  }
  return std::nullopt;
}

std::uint64_t base_core_count() {
  if (auto count = affinity_count()) return *count;
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online >= 1 ? static_cast<std::uint64_t>(online) : 1;
}

// The quota cannot change under a running process in any way we are asked
// to follow, so it is worked out once, on first use, for the whole process.
std::optional<std::uint32_t> process_cpu_limit() {
  static const std::optional<std::uint32_t> limit = cgroup_cpu_limit("/");
  return limit;
}

}  // namespace

std::uint32_t detect_core_count() {
  std::uint64_t count = base_core_count();
  if (const auto limit = process_cpu_limit()) count = std::min<std::uint64_t>(count, *limit);
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(count, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace halvorn
