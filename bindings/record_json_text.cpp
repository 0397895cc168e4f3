#include "bindings/record_json_text.hpp"

#include "core/record_json.hpp"

namespace halvorn::bindings {

// The core writer cannot fail on these records; the Result keeps room for
// a writer that can, so that callers already report "serialization failed".
Result<std::string> record_json_text(const HardwareProfile& profile) {
  return to_json_compact(profile);
}

Result<std::string> record_json_text(const OptimizationResult& result) {
  return to_json_compact(result);
}

}  // namespace halvorn::bindings
