#include "hardware/gpu_catalogue.hpp"

#include <array>

#include "core/text.hpp"
#include "hardware/unicode_lower.hpp"

namespace halvorn {
namespace {

struct CatalogueEntry {
  std::string_view key;
  std::string_view name;
  std::uint64_t vram_mb;
  std::uint32_t major;
  std::uint32_t minor;
};

constexpr std::array<CatalogueEntry, 23> kCatalogue = {{
    {"4090", "NVIDIA GeForce RTX 4090", 24576, 8, 9},
    {"rtx4090", "NVIDIA GeForce RTX 4090", 24576, 8, 9},
    {"4080", "NVIDIA GeForce RTX 4080", 16384, 8, 9},
    {"rtx4080", "NVIDIA GeForce RTX 4080", 16384, 8, 9},
    {"4070ti", "NVIDIA GeForce RTX 4070 Ti", 12288, 8, 9},
    {"rtx4070ti", "NVIDIA GeForce RTX 4070 Ti", 12288, 8, 9},
    {"4070", "NVIDIA GeForce RTX 4070", 12288, 8, 9},
    {"rtx4070", "NVIDIA GeForce RTX 4070", 12288, 8, 9},
    {"3090", "NVIDIA GeForce RTX 3090", 24576, 8, 6},
    {"rtx3090", "NVIDIA GeForce RTX 3090", 24576, 8, 6},
    {"3080", "NVIDIA GeForce RTX 3080", 10240, 8, 6},
    {"rtx3080", "NVIDIA GeForce RTX 3080", 10240, 8, 6},
    {"3070", "NVIDIA GeForce RTX 3070", 8192, 8, 6},
    {"rtx3070", "NVIDIA GeForce RTX 3070", 8192, 8, 6},
    {"3060", "NVIDIA GeForce RTX 3060", 12288, 8, 6},
    {"rtx3060", "NVIDIA GeForce RTX 3060", 12288, 8, 6},
    {"2080ti", "NVIDIA GeForce RTX 2080 Ti", 11264, 7, 5},
    {"rtx2080ti", "NVIDIA GeForce RTX 2080 Ti", 11264, 7, 5},
    {"2080", "NVIDIA GeForce RTX 2080", 8192, 7, 5},
    {"rtx2080", "NVIDIA GeForce RTX 2080", 8192, 7, 5},
    {"a100", "NVIDIA A100", 81920, 8, 0},
    {"a10g", "NVIDIA A10G", 24576, 8, 6},
    {"h100", "NVIDIA H100", 81920, 9, 0},
}};

// Lower-cased, with every space and hyphen-minus removed (nothing else:
// tabs, underscores and dots stay and make the text fail to match).
std::string normalise(std::string_view text) {
  std::string out;
  for (char c : unicode_lower(text)) {
    if (c != ' ' && c != '-') out.push_back(c);
  }
  return out;
}

}  // namespace

Result<std::optional<GpuInfo>> lookup_gpu(std::string_view text) {
  const std::string key = normalise(text);
  if (key.empty() || key == "cpu") return std::optional<GpuInfo>();
  for (const CatalogueEntry& entry : kCatalogue) {
    if (entry.key != key) continue;
    return std::optional<GpuInfo>(GpuInfo{
        std::string(entry.name), entry.vram_mb, std::pair{entry.major, entry.minor}, GpuVendor::Nvidia});
  }
  return fail(cat("Unknown GPU model: '", key,
                  "'. Try: 4090, 4080, 3090, 3080, 3070, 2080ti, a100, h100, or 'cpu'"));
}

}  // namespace halvorn
