// The JSON forms of the core records: writers for every record (compact or
// pretty), and readers for the records that are read back (RuntimeConfig,
// BenchmarkResult, OptimizationResult).  The write_json / read_* functions
// taking a JsonWriter or JsonReader let a larger record embed these.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "core/error.hpp"
#include "core/json_reader.hpp"
#include "core/json_writer.hpp"
#include "core/records.hpp"

namespace halvorn {

void write_json(JsonWriter& writer, const CpuInfo& cpu);
void write_json(JsonWriter& writer, const GpuInfo& gpu);
void write_json(JsonWriter& writer, const RamInfo& ram);
void write_json(JsonWriter& writer, const HardwareProfile& profile);
void write_json(JsonWriter& writer, const RuntimeConfig& config);
void write_json(JsonWriter& writer, const BenchmarkResult& metrics);
void write_json(JsonWriter& writer, const OptimizationResult& result);

// The whole JSON text of any record that has a write_json overload (the
// records above, or a caller's own record that embeds them).
template <class Record>
std::string to_json_compact(const Record& record) {
  JsonWriter writer(JsonLayout::Compact);
  write_json(writer, record);
  return std::move(writer).take();
}

template <class Record>
std::string to_json_pretty(const Record& record) {
  JsonWriter writer(JsonLayout::Pretty);
  write_json(writer, record);
  return std::move(writer).take();
}

// Enumerations: a string equal to one of the texts, case-sensitive.
Result<RuntimeKind> read_runtime_kind(JsonReader& reader);
Result<Quantization> read_quantization(JsonReader& reader);

// One record, as an object or as an array of its members in order.
Result<RuntimeConfig> read_runtime_config(JsonReader& reader);
Result<BenchmarkResult> read_benchmark_result(JsonReader& reader);
Result<OptimizationResult> read_optimization_result(JsonReader& reader);

// A whole text holding one record and nothing else but white space.
Result<RuntimeConfig> parse_runtime_config(std::string_view text);
Result<BenchmarkResult> parse_benchmark_result(std::string_view text);
Result<OptimizationResult> parse_optimization_result(std::string_view text);

}  // namespace halvorn
