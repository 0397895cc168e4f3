// Rewrites a model in the chosen quantization with llama.cpp's
// `llama-quantize`, whose progress goes straight to the user's terminal.
#pragma once

#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/records.hpp"

namespace halvorn {

// The type argument `llama-quantize` expects for a quantization.  Int8 and
// Int4 have none of their own and share those of Q8_0 and Q4_0.
std::string_view llama_quantize_type(Quantization quantization) noexcept;

// Runs `llama-quantize --allow-requantize <input> <output> <type>` with the
// caller's standard streams and waits for it.  Succeeds only on exit status 0.
Status requantize_model(const std::string& input_path, const std::string& output_path,
                        Quantization quantization);

}  // namespace halvorn
