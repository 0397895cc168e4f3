// The fixed table of GPU models a caller may name instead of the detected
// GPU, looked up by a loose, normalised text.
#pragma once

#include <optional>
#include <string_view>

#include "core/error.hpp"
#include "core/records.hpp"

namespace halvorn {

// A catalogue entry, or nothing for "cpu" and for text that is empty after
// normalisation; an unknown model fails with the catalogue's message.
Result<std::optional<GpuInfo>> lookup_gpu(std::string_view text);

}  // namespace halvorn
