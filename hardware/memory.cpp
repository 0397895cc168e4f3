// Main memory: /proc/meminfo, else the kernel's sysinfo(2) figures.
#include <sys/sysinfo.h>

#include <limits>

#include "core/text.hpp"
#include "hardware/detect.hpp"
#include "hardware/memory_probe.hpp"
#include "hardware/small_file.hpp"

namespace halvorn {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

// count * unit in bytes, saturating instead of wrapping.
std::uint64_t bytes_of(unsigned long count, unsigned int unit) {
  const unsigned __int128 bytes = static_cast<unsigned __int128>(count) * unit;
  const unsigned __int128 max = std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(bytes > max ? max : bytes);
}

// "Available" from sysinfo is what is free now plus the buffers the kernel
// can give back; it has no figure for reclaimable page cache.
RamInfo ram_from_sysinfo() {
  struct sysinfo info {};
  if (::sysinfo(&info) != 0) return RamInfo{};
  const unsigned int unit = info.mem_unit == 0 ? 1 : info.mem_unit;
  const std::uint64_t total = bytes_of(info.totalram, unit);
  const std::uint64_t free = bytes_of(info.freeram, unit);
  const std::uint64_t buffers = bytes_of(info.bufferram, unit);
  const std::uint64_t available =
      free > std::numeric_limits<std::uint64_t>::max() - buffers
          ? std::numeric_limits<std::uint64_t>::max()
          : free + buffers;
  return RamInfo{total / kMiB, available / kMiB};
}

// The second white-space separated word of a line, as KiB.
std::optional<std::uint64_t> kib_value(std::string_view line) {
  const auto words = split_whitespace(line);
  if (words.size() < 2) return std::nullopt;
  return parse_u64(words[1]);
}

}  // namespace

MeminfoValues parse_meminfo(std::string_view meminfo) {
  MeminfoValues values;
  for (std::string_view line : split_lines(meminfo)) {
    // The first line that parses wins; one that does not counts as absent.
    if (!values.total_kib && line.starts_with("MemTotal:")) {
      values.total_kib = kib_value(line);
    } else if (!values.available_kib && line.starts_with("MemAvailable:")) {
      values.available_kib = kib_value(line);
    }
    if (values.total_kib && values.available_kib) break;
  }
  return values;
}

std::optional<RamInfo> ram_from_meminfo(std::string_view meminfo) {
  const MeminfoValues values = parse_meminfo(meminfo);
  if (!values.total_kib) return std::nullopt;
  return RamInfo{*values.total_kib / 1024, values.available_kib.value_or(0) / 1024};
}

RamInfo detect_ram() {
  if (const auto meminfo = read_text_file("/proc/meminfo")) {
    if (auto ram = ram_from_meminfo(*meminfo)) return *ram;
  }
  return ram_from_sysinfo();
}

}  // namespace halvorn
