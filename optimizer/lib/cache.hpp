// The per-user result cache: one small JSON file per (model file, machine)
// pair under $HOME/.cindrel/cache, named by the SHA-256 of the model file's
// modification time and size and the machine's compact JSON.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/error.hpp"
#include "core/json_writer.hpp"
#include "core/records.hpp"
#include "optimizer/lib/pipeline_records.hpp"

namespace halvorn {

// What one cache file holds.
struct CachedResult {
  OptimizationResult result;
  std::string model_path;       // the path the result was computed for
  std::uint64_t created_at = 0;  // seconds since the epoch
};

// The text hashed into a key: "{mtime}_{size}_{hardware json}"; nothing when
// the model file cannot be examined.
std::optional<std::string> cache_key_text(const HardwareProfile& hardware,
                                          const std::string& model_path);

// 64 lowercase hexadecimal digits of the SHA-256 of the key text.
std::optional<std::string> cache_key(const HardwareProfile& hardware,
                                     const std::string& model_path);

// $HOME (or the account's home directory) / .cindrel / cache / {key}.json.
std::optional<std::filesystem::path> cache_file_path(const std::string& key);

void write_json(JsonWriter& writer, const CachedResult& entry);
std::string serialize_cached_result(const CachedResult& entry);
Result<CachedResult> parse_cached_result(std::string_view text);

// The stored result, or nothing on any failure at any step (silently).
std::optional<OptimizationResult> load_cached(const HardwareProfile& hardware,
                                              const ModelInfo& model);

// Writes the entry for this model and machine.  The file is written under a
// temporary name in the same directory and renamed over the old one, so a
// reader never meets a half-written entry.
Status store_cached(const HardwareProfile& hardware, const ModelInfo& model,
                    const OptimizationResult& result);

}  // namespace halvorn
