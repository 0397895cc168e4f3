// The live probe behind the memory part of detection.  Internal to hardware/.
#pragma once

#include "core/records.hpp"

namespace halvorn {

// /proc/meminfo when it has a usable MemTotal line, else sysinfo(2).
RamInfo detect_ram();

}  // namespace halvorn
