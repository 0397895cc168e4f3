#include "optimizer/lib/pipeline_records.hpp"

namespace halvorn {

HardwareSummary summarize_hardware(const HardwareProfile& hardware) {
  HardwareSummary summary;
  if (hardware.gpu) {
    summary.has_gpu = true;
    summary.vram_mb = hardware.gpu->vram_mb;
    summary.is_nvidia = hardware.gpu->vendor == GpuVendor::Nvidia;
  }
  summary.available_ram_mb = hardware.ram.available_mb;
  summary.core_count = hardware.cpu.core_count;
  summary.simd_level = hardware.cpu.simd_level;
  return summary;
}

}  // namespace halvorn
