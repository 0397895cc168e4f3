// Processor brand and vector level from the CPUID instruction, with
// /proc/cpuinfo as the fallback for the brand.

#include "core/text.hpp"
#include "hardware/cpu_probe.hpp"
#include "hardware/detect.hpp"
#include "hardware/small_file.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define HALVORN_HAVE_CPUID 1
#else
#define HALVORN_HAVE_CPUID 0
#endif

namespace halvorn {
namespace {

constexpr std::uint32_t kAvxEcxBit = 1u << 28;
constexpr std::uint32_t kAvx2EbxBit = 1u << 5;
constexpr std::uint32_t kAvx512FoundationEbxBit = 1u << 16;

#if HALVORN_HAVE_CPUID
CpuidLeaf cpuid(std::uint32_t leaf, std::uint32_t subleaf = 0) {
  CpuidLeaf r;
  __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
  return r;
}
#endif

std::optional<std::string> cpuid_brand() {
#if HALVORN_HAVE_CPUID
  if (__get_cpuid_max(0x80000000u, nullptr) < 0x80000004u) return std::nullopt;
  std::string brand =
      brand_from_cpuid({cpuid(0x80000002u), cpuid(0x80000003u), cpuid(0x80000004u)});
  if (brand.empty()) return std::nullopt;
  return brand;
#else
  return std::nullopt;
#endif
}

}  // namespace

std::string brand_from_cpuid(const std::array<CpuidLeaf, 3>& brand_leaves) {
  char bytes[48];
  std::size_t at = 0;
  for (const CpuidLeaf& leaf : brand_leaves) {
    for (std::uint32_t reg : {leaf.eax, leaf.ebx, leaf.ecx, leaf.edx}) {
      for (int k = 0; k < 4; ++k) bytes[at++] = static_cast<char>((reg >> (8 * k)) & 0xFF);
    }
  }
  std::string_view text(bytes, sizeof bytes);
  text = text.substr(0, text.find('\0'));
  // The text goes into JSON and Python strings, so it must be valid UTF-8.
  return std::string(trim(utf8_replace_invalid(text)));
}

SimdLevel simd_level_from_cpuid(std::uint32_t max_basic_leaf, std::uint32_t leaf1_ecx,
                                std::uint32_t leaf7_ebx) {
  if (max_basic_leaf >= 7) {
    if (leaf7_ebx & kAvx512FoundationEbxBit) return SimdLevel::AVX512;
    if (leaf7_ebx & kAvx2EbxBit) return SimdLevel::AVX2;
  }
  if (max_basic_leaf >= 1 && (leaf1_ecx & kAvxEcxBit)) return SimdLevel::AVX;
  return SimdLevel::None;
}

std::optional<std::string> parse_cpuinfo_brand(std::string_view cpuinfo) {
  for (std::string_view line : split_lines(cpuinfo)) {
    if (!line.starts_with("model name")) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    return std::string(trim(line.substr(colon + 1)));
  }
  return std::nullopt;
}

std::string detect_cpu_brand() {
  if (auto brand = cpuid_brand()) return *brand;
  if (auto cpuinfo = read_text_file("/proc/cpuinfo")) {
    if (auto brand = parse_cpuinfo_brand(*cpuinfo)) return *brand;
  }
  return "Unknown";
}

SimdLevel detect_simd_level() {
#if HALVORN_HAVE_CPUID
  const std::uint32_t max_basic = __get_cpuid_max(0, nullptr);
  const std::uint32_t leaf1_ecx = max_basic >= 1 ? cpuid(1).ecx : 0;
  const std::uint32_t leaf7_ebx = max_basic >= 7 ? cpuid(7, 0).ebx : 0;
  return simd_level_from_cpuid(max_basic, leaf1_ecx, leaf7_ebx);
#else
  return SimdLevel::None;
#endif
}

}  // namespace halvorn
