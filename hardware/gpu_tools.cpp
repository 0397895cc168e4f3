// The GPU from the vendors' command-line tools.  Only the command lines and
// the lines and columns read here are relied on; everything else the tools
// print is ignored.
#include <initializer_list>
#include <string>
#include <vector>

#include "core/text.hpp"
#include "hardware/detect.hpp"
#include "hardware/unicode_lower.hpp"
#include "runtime/process/process.hpp"

namespace halvorn {
namespace {

// Values at or below this are already MiB; above it they are bytes.
constexpr std::uint64_t kLargestMiBValue = 1'000'000;
constexpr std::uint64_t kMiB = 1'048'576;

bool contains_any(std::string_view text, std::initializer_list<std::string_view> parts) {
  for (std::string_view part : parts) {
    if (text.find(part) != std::string_view::npos) return true;
  }
  return false;
}

// The first column whose lower-cased name contains one of `parts`.
std::optional<std::size_t> find_column(const std::vector<std::string>& lowered_names,
                                       std::initializer_list<std::string_view> parts) {
  for (std::size_t i = 0; i < lowered_names.size(); ++i) {
    if (contains_any(lowered_names[i], parts)) return i;
  }
  return std::nullopt;
}

// A CSV table with one header line; the first data row describes the GPU.
std::optional<GpuInfo> parse_gpu_table(std::string_view output,
                                       std::initializer_list<std::string_view> name_parts,
                                       std::initializer_list<std::string_view> memory_parts) {
  const std::string text = utf8_replace_invalid(output);
  const std::vector<std::string_view> lines = split_lines(text);

  std::size_t at = 0;
  while (at < lines.size() && trim(lines[at]).empty()) ++at;
  if (at == lines.size()) return std::nullopt;
  std::vector<std::string> names;
  for (std::string_view column : split(lines[at], ',')) names.push_back(unicode_lower(column));
  const auto name_column = find_column(names, name_parts);
  const auto memory_column = find_column(names, memory_parts);
  if (!name_column || !memory_column) return std::nullopt;

  ++at;
  while (at < lines.size() && trim(lines[at]).empty()) ++at;
  if (at == lines.size()) return std::nullopt;
  const std::vector<std::string_view> row = split(lines[at], ',');

  if (*name_column >= row.size() || *memory_column >= row.size()) return std::nullopt;
  const std::string_view name = trim(row[*name_column]);
  if (name.empty()) return std::nullopt;
  const auto value = parse_u64(trim(row[*memory_column]));
  if (!value) return std::nullopt;

  GpuInfo gpu;
  gpu.name = std::string(name);
  gpu.vram_mb = *value <= kLargestMiBValue ? *value : *value / kMiB;
  gpu.vendor = GpuVendor::Amd;
  return gpu;
}

std::optional<std::string> successful_output(const std::string& program,
                                             const std::vector<std::string>& args) {
  auto run = run_and_capture(program, args);
  if (!run || !run->status.success()) return std::nullopt;
  return std::move(run->out);
}

}  // namespace

std::optional<GpuInfo> parse_nvidia_smi(std::string_view output) {
  const std::string text = utf8_replace_invalid(output);
  const std::vector<std::string_view> lines = split_lines(text);
  if (lines.empty()) return std::nullopt;
  const std::vector<std::string_view> fields = split(trim(lines.front()), ',');
  if (fields.size() < 3) return std::nullopt;

  const auto vram = parse_u64(trim(fields[1]));
  if (!vram) return std::nullopt;
  GpuInfo gpu;
  gpu.name = std::string(trim(fields[0]));
  gpu.vram_mb = *vram;
  gpu.vendor = GpuVendor::Nvidia;

  const std::vector<std::string_view> pieces = split(trim(fields[2]), '.');
  if (pieces.size() >= 2) {
    const auto major = parse_u32(trim(pieces[0]));
    const auto minor = parse_u32(trim(pieces[1]));
    if (major && minor) gpu.compute_capability = std::pair{*major, *minor};
  }
  return gpu;
}

std::optional<GpuInfo> parse_rocm_smi(std::string_view output) {
  return parse_gpu_table(output, {"card", "name"}, {"vram", "memory"});
}

std::optional<GpuInfo> parse_amd_smi(std::string_view output) {
  return parse_gpu_table(output, {"name"}, {"mem_total", "memory_total", "vram"});
}

std::optional<GpuInfo> detect_gpu() {
  if (const auto out = successful_output(
          "nvidia-smi",
          {"--query-gpu=name,memory.total,compute_cap", "--format=csv,noheader,nounits"})) {
    if (auto gpu = parse_nvidia_smi(*out)) return gpu;
  }
  if (const auto out =
          successful_output("rocm-smi", {"--showproductname", "--showmeminfo", "vram", "--csv"})) {
    if (auto gpu = parse_rocm_smi(*out)) return gpu;
  }
  if (const auto out = successful_output("amd-smi", {"monitor", "--gpu", "--csv"})) {
    if (auto gpu = parse_amd_smi(*out)) return gpu;
  }
  return std::nullopt;
}

}  // namespace halvorn
