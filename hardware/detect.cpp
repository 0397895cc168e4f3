#include "hardware/detect.hpp"

#include "hardware/cpu_probe.hpp"
#include "hardware/memory_probe.hpp"

namespace halvorn {

HardwareProfile detect_hardware() {
  HardwareProfile profile;
  profile.cpu.core_count = detect_core_count();
  profile.cpu.brand = detect_cpu_brand();
  profile.cpu.simd_level = detect_simd_level();
  profile.gpu = detect_gpu();
  profile.ram = detect_ram();
  return profile;
}

}  // namespace halvorn
