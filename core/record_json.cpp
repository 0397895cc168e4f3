#include "core/record_json.hpp"

#include <vector>

namespace halvorn {
namespace {

template <class Enum>
Result<Enum> read_enum(JsonReader& reader, std::string_view name, std::span<const Enum> all) {
  std::vector<std::string_view> names;
  names.reserve(all.size());
  for (const Enum value : all) names.push_back(text(value));
  const auto index = reader.read_variant(name, names);
  if (!index) return std::unexpected(index.error());
  return all[*index];
}

}  // namespace

void write_json(JsonWriter& writer, const CpuInfo& cpu) {
  writer.begin_object();
  writer.key("core_count");
  writer.u64(cpu.core_count);
  writer.key("brand");
  writer.string(cpu.brand);
  writer.key("simd_level");
  writer.string(text(cpu.simd_level));
  writer.end_object();
}

void write_json(JsonWriter& writer, const GpuInfo& gpu) {
  writer.begin_object();
  writer.key("name");
  writer.string(gpu.name);
  writer.key("vram_mb");
  writer.u64(gpu.vram_mb);
  writer.key("compute_capability");
  if (gpu.compute_capability) {
    writer.begin_array();
    writer.u64(gpu.compute_capability->first);
    writer.u64(gpu.compute_capability->second);
    writer.end_array();
  } else {
    writer.null();
  }
  writer.key("vendor");
  writer.string(text(gpu.vendor));
  writer.end_object();
}

void write_json(JsonWriter& writer, const RamInfo& ram) {
  writer.begin_object();
  writer.key("total_mb");
  writer.u64(ram.total_mb);
  writer.key("available_mb");
  writer.u64(ram.available_mb);
  writer.end_object();
}

void write_json(JsonWriter& writer, const HardwareProfile& profile) {
  writer.begin_object();
  writer.key("cpu");
  write_json(writer, profile.cpu);
  writer.key("gpu");
  if (profile.gpu) {
    write_json(writer, *profile.gpu);
  } else {
    writer.null();
  }
  writer.key("ram");
  write_json(writer, profile.ram);
  writer.end_object();
}

void write_json(JsonWriter& writer, const RuntimeConfig& config) {
  writer.begin_object();
  writer.key("runtime");
  writer.string(text(config.runtime));
  writer.key("quantization");
  writer.string(text(config.quantization));
  writer.key("threads");
  writer.u64(config.threads);
  writer.key("batch_size");
  writer.u64(config.batch_size);
  writer.key("gpu_layers");
  writer.u64(config.gpu_layers);
  writer.end_object();
}

void write_json(JsonWriter& writer, const BenchmarkResult& metrics) {
  writer.begin_object();
  writer.key("tokens_per_sec");
  writer.f64(metrics.tokens_per_sec);
  writer.key("latency_ms");
  writer.f64(metrics.latency_ms);
  writer.key("peak_memory_mb");
  writer.u64(metrics.peak_memory_mb);
  writer.end_object();
}

void write_json(JsonWriter& writer, const OptimizationResult& result) {
  writer.begin_object();
  writer.key("config");
  write_json(writer, result.config);
  writer.key("metrics");
  write_json(writer, result.metrics);
  writer.end_object();
}

Result<RuntimeKind> read_runtime_kind(JsonReader& reader) {
  return read_enum(reader, "RuntimeKind", all_runtime_kinds());
}

Result<Quantization> read_quantization(JsonReader& reader) {
  return read_enum(reader, "Quantization", all_quantizations());
}

Result<RuntimeConfig> read_runtime_config(JsonReader& reader) {
  static constexpr JsonField kFields[] = {
      {"runtime"}, {"quantization"}, {"threads"}, {"batch_size"}, {"gpu_layers"}};
  RuntimeConfig config;
  const Status read = reader.read_record("RuntimeConfig", kFields, [&](std::size_t i) -> Status {
    switch (i) {
      case 0: return store(config.runtime, read_runtime_kind(reader));
      case 1: return store(config.quantization, read_quantization(reader));
      case 2: return store(config.threads, reader.read_u32());
      case 3: return store(config.batch_size, reader.read_u32());
      default: return store(config.gpu_layers, reader.read_u32());
    }
  });
  if (!read) return std::unexpected(read.error());
  return config;
}

Result<BenchmarkResult> read_benchmark_result(JsonReader& reader) {
  static constexpr JsonField kFields[] = {{"tokens_per_sec"}, {"latency_ms"}, {"peak_memory_mb"}};
  BenchmarkResult metrics;
  const Status read = reader.read_record("BenchmarkResult", kFields, [&](std::size_t i) -> Status {
    switch (i) {
      case 0: return store(metrics.tokens_per_sec, reader.read_f64());
      case 1: return store(metrics.latency_ms, reader.read_f64());
      default: return store(metrics.peak_memory_mb, reader.read_u64());
    }
  });
  if (!read) return std::unexpected(read.error());
  return metrics;
}

Result<OptimizationResult> read_optimization_result(JsonReader& reader) {
  static constexpr JsonField kFields[] = {{"config"}, {"metrics"}};
  OptimizationResult result;
  const Status read =
      reader.read_record("OptimizationResult", kFields, [&](std::size_t i) -> Status {
        if (i == 0) return store(result.config, read_runtime_config(reader));
        return store(result.metrics, read_benchmark_result(reader));
      });
  if (!read) return std::unexpected(read.error());
  return result;
}

Result<RuntimeConfig> parse_runtime_config(std::string_view text) {
  return parse_json_document(text, read_runtime_config);
}

Result<BenchmarkResult> parse_benchmark_result(std::string_view text) {
  return parse_json_document(text, read_benchmark_result);
}

Result<OptimizationResult> parse_optimization_result(std::string_view text) {
  return parse_json_document(text, read_optimization_result);
}

}  // namespace halvorn
