// Feeds arbitrary text to the JSON reader: the record readers and the tree
// reader must fail cleanly, never crash, and a record that reads must write
// back to text that reads to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/json_reader.hpp"
#include "core/record_json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)halvorn::parse_json_value(text);
  (void)halvorn::parse_runtime_config(text);
  (void)halvorn::parse_benchmark_result(text);
  if (auto result = halvorn::parse_optimization_result(text)) {
    const std::string written = halvorn::to_json_compact(*result);
    auto again = halvorn::parse_optimization_result(written);
    // NaN never reads from JSON, so equality is exact.
    if (!again || !(*again == *result)) std::abort();
  }
  return 0;
}
