// The compact JSON text of the records the two classes serialize.  A
// failure carries the writer's message.
#pragma once

#include <string>

#include "core/error.hpp"
#include "core/records.hpp"

namespace halvorn::bindings {

Result<std::string> record_json_text(const HardwareProfile& profile);
Result<std::string> record_json_text(const OptimizationResult& result);

}  // namespace halvorn::bindings
