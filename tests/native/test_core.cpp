// Core: JSON writer and reader, record JSON forms, errors and text helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/json_reader.hpp"
#include "core/json_writer.hpp"
#include "core/record_json.hpp"
#include "core/records.hpp"
#include "core/text.hpp"

namespace halvorn {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------
// Writer: numbers and strings

TEST(JsonWriter, FloatLayout) {
  struct Case {
    double value;
    std::string_view text;
  };
  const std::vector<Case> cases = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {3.0, "3.0"},
      {12.0, "12.0"},
      {0.1, "0.1"},
      {42.5, "42.5"},
      {-42.5, "-42.5"},
      {1e15, "1000000000000000.0"},
      {9007199254740993.0, "9007199254740992.0"},  // 16 digits, whole
      {1234567890123456.7, "1234567890123456.8"},  // 16 digits before the point
      {1e16, "1e16"},
      {18014398509481984.0, "1.8014398509481984e16"},
      {123456789012345680000.0, "1.2345678901234568e20"},
      {1e30, "1e30"},
      {1.234e33, "1.234e33"},
      {0.0001, "0.0001"},
      {0.000125, "0.000125"},
      {0.00001, "0.00001"},
      {0.000001, "1e-6"},
      {1e-7, "1e-7"},
      {1.5e-7, "1.5e-7"},
      {-1.5e-7, "-1.5e-7"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(format_shortest(c.value), c.text);
    JsonWriter writer;
    writer.f64(c.value);
    EXPECT_EQ(writer.text(), c.text);
  }
}

TEST(JsonWriter, NonFiniteFloatsAreNull) {
  JsonWriter writer;
  writer.begin_array();
  writer.f64(kNaN);
  writer.f64(kInf);
  writer.f64(-kInf);
  writer.end_array();
  EXPECT_EQ(writer.text(), "[null,null,null]");
}

TEST(JsonWriter, StringEscaping) {
  struct Case {
    std::string_view raw;
    std::string_view json;
  };
  using namespace std::string_view_literals;
  const std::vector<Case> cases = {
      {"plain", "\"plain\""},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"back\\slash", R"("back\\slash")"},
      {"a/b", R"("a/b")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {"\x01\x0b\x1f", R"("\u0001\u000b\u001f")"},
      {"\0x"sv, R"("\u0000x")"},
      {"\x7f", "\"\x7f\""},
      {"Intel\u00ae Core\u2122", "\"Intel\u00ae Core\u2122\""},
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
      // Not UTF-8: replaced, so that the output stays valid JSON text.
      {"a\xff" "b", "\"a\xef\xbf\xbd" "b\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    std::string out;
    append_json_string(out, c.raw);
    EXPECT_EQ(out, c.json);
  }
}

// ---------------------------------------------------------------------------
// Writer: layouts

void write_sample(JsonWriter& w) {
  w.begin_object();
  w.key("a");
  w.begin_object();
  w.end_object();
  w.key("b");
  w.begin_array();
  w.end_array();
  w.key("c");
  w.begin_array();
  w.u64(1);
  w.i64(-2);
  w.begin_array();
  w.boolean(true);
  w.end_array();
  w.begin_object();
  w.key("d");
  w.null();
  w.end_object();
  w.end_array();
  w.key("e\"");
  w.string("x");
  w.end_object();
}

TEST(JsonWriter, CompactAndPrettyLayouts) {
  JsonWriter compact(JsonLayout::Compact);
  write_sample(compact);
  EXPECT_EQ(compact.text(), R"({"a":{},"b":[],"c":[1,-2,[true],{"d":null}],"e\"":"x"})");

  JsonWriter pretty(JsonLayout::Pretty);
  write_sample(pretty);
  EXPECT_EQ(pretty.text(),
            "{\n"
            "  \"a\": {},\n"
            "  \"b\": [],\n"
            "  \"c\": [\n"
            "    1,\n"
            "    -2,\n"
            "    [\n"
            "      true\n"
            "    ],\n"
            "    {\n"
            "      \"d\": null\n"
            "    }\n"
            "  ],\n"
            "  \"e\\\"\": \"x\"\n"
            "}");
}

TEST(JsonWriter, ScalarsAtTopLevel) {
  JsonWriter writer(JsonLayout::Pretty);
  writer.i64(std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(writer.text(), "-9223372036854775808");
  JsonWriter empty(JsonLayout::Pretty);
  empty.begin_object();
  empty.end_object();
  EXPECT_EQ(empty.text(), "{}");
}

// ---------------------------------------------------------------------------
// Record writers

const OptimizationResult kSampleResult{
    RuntimeConfig{RuntimeKind::LlamaCpp, Quantization::Q4_K_M, 8, 1, 0},
    BenchmarkResult{42.5, 23.0, 4404}};

constexpr std::string_view kSampleResultCompact =
    R"({"config":{"runtime":"LlamaCpp","quantization":"Q4_K_M","threads":8,"batch_size":1,)"
    R"("gpu_layers":0},"metrics":{"tokens_per_sec":42.5,"latency_ms":23.0,"peak_memory_mb":4404}})";

HardwareProfile sample_profile() {
  HardwareProfile profile;
  profile.cpu = CpuInfo{16, "AMD Ryzen 9 7950X 16-Core Processor", SimdLevel::AVX512};
  profile.ram = RamInfo{63438, 58112};
  return profile;
}

TEST(RecordJson, ProfileWithoutGpu) {
  EXPECT_EQ(to_json_compact(sample_profile()),
            R"({"cpu":{"core_count":16,"brand":"AMD Ryzen 9 7950X 16-Core Processor",)"
            R"("simd_level":"AVX512"},"gpu":null,"ram":{"total_mb":63438,"available_mb":58112}})");
}

TEST(RecordJson, ProfileWithGpu) {
  struct Case {
    std::optional<std::pair<std::uint32_t, std::uint32_t>> capability;
    GpuVendor vendor;
    std::string_view gpu_json;
  };
  const std::vector<Case> cases = {
      {std::pair{8u, 9u}, GpuVendor::Nvidia,
       R"({"name":"NVIDIA GeForce RTX 4090","vram_mb":24576,"compute_capability":[8,9],"vendor":"Nvidia"})"},
      {std::nullopt, GpuVendor::Amd,
       R"({"name":"NVIDIA GeForce RTX 4090","vram_mb":24576,"compute_capability":null,"vendor":"Amd"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.gpu_json);
    HardwareProfile profile = sample_profile();
    profile.gpu = GpuInfo{"NVIDIA GeForce RTX 4090", 24576, c.capability, c.vendor};
    const std::string json = to_json_compact(profile);
    const std::string expected =
        cat(R"({"cpu":{"core_count":16,"brand":"AMD Ryzen 9 7950X 16-Core Processor",)",
            R"("simd_level":"AVX512"},"gpu":)", c.gpu_json,
            R"(,"ram":{"total_mb":63438,"available_mb":58112}})");
    EXPECT_EQ(json, expected);
  }
}

TEST(RecordJson, BrandWithQuoteTabAndSymbols) {
  HardwareProfile profile = sample_profile();
  profile.cpu.brand = "Intel\u00ae \"Core\"\u2122\tX";
  EXPECT_NE(to_json_compact(profile).find(R"("brand":"Intel)" "\u00ae" R"( \"Core\")" "\u2122" R"(\tX")"),
            std::string::npos);
}

TEST(RecordJson, OptimizationResultBothLayouts) {
  EXPECT_EQ(to_json_compact(kSampleResult), kSampleResultCompact);
  EXPECT_EQ(to_json_pretty(kSampleResult),
            "{\n"
            "  \"config\": {\n"
            "    \"runtime\": \"LlamaCpp\",\n"
            "    \"quantization\": \"Q4_K_M\",\n"
            "    \"threads\": 8,\n"
            "    \"batch_size\": 1,\n"
            "    \"gpu_layers\": 0\n"
            "  },\n"
            "  \"metrics\": {\n"
            "    \"tokens_per_sec\": 42.5,\n"
            "    \"latency_ms\": 23.0,\n"
            "    \"peak_memory_mb\": 4404\n"
            "  }\n"
            "}");
}

TEST(RecordJson, MetricsFloats) {
  EXPECT_EQ(to_json_compact(BenchmarkResult{3.0, kInf, 0}),
            R"({"tokens_per_sec":3.0,"latency_ms":null,"peak_memory_mb":0})");
  EXPECT_EQ(to_json_compact(BenchmarkResult{0.1, 1e-7, UINT64_MAX}),
            R"({"tokens_per_sec":0.1,"latency_ms":1e-7,"peak_memory_mb":18446744073709551615})");
  EXPECT_EQ(to_json_compact(BenchmarkResult{123456789012345680000.0, kNaN, 1}),
            R"({"tokens_per_sec":1.2345678901234568e20,"latency_ms":null,"peak_memory_mb":1})");
}

TEST(RecordJson, EveryEnumerationTextRoundTrips) {
  for (const RuntimeKind runtime : all_runtime_kinds()) {
    for (const Quantization quantization : all_quantizations()) {
      const RuntimeConfig config{runtime, quantization, 4294967295u, 2, 3};
      const auto back = parse_runtime_config(to_json_compact(config));
      ASSERT_TRUE(back) << back.error().text();
      EXPECT_EQ(*back, config);
    }
  }
}

// ---------------------------------------------------------------------------
// Record readers: successes

TEST(RecordReader, Accepts) {
  const RuntimeConfig f16_config{RuntimeKind::LlamaCpp, Quantization::F16, 4, 1, 0};
  struct Case {
    std::string_view name;
    std::string_view text;
    OptimizationResult expected;
  };
  const std::vector<Case> cases = {
      {"compact form", kSampleResultCompact, kSampleResult},
      {"pretty form", "{\n  \"config\": {\"runtime\": \"LlamaCpp\", \"quantization\": \"Q4_K_M\",\r\n"
                      "\t\"threads\": 8, \"batch_size\": 1, \"gpu_layers\": 0},\n"
                      "  \"metrics\": {\"tokens_per_sec\": 42.5, \"latency_ms\": 23.0, "
                      "\"peak_memory_mb\": 4404}\n}\n",
       kSampleResult},
      {"order free, extra members skipped",
       R"({"metrics":{"peak_memory_mb":4404,"x":{"y":[1,{"z":null}]},"latency_ms":23,)"
       R"("tokens_per_sec":42.5},"extra":1,"config":{"gpu_layers":0,"batch_size":1,"threads":8,)"
       R"("quantization":"Q4_K_M","runtime":"LlamaCpp","threads2":"x"},"extra":[true,1e999]})",
       kSampleResult},
      {"array forms", R"([["LlamaCpp","F16",4,1,0],[42,23,4404]])",
       OptimizationResult{f16_config, BenchmarkResult{42.0, 23.0, 4404}}},
      {"mixed forms", R"({"config":["LlamaCpp","F16",4,1,0],"metrics":[42,-1.5e-3,4404]})",
       OptimizationResult{f16_config, BenchmarkResult{42.0, -0.0015, 4404}}},
      {"escaped names and texts",
       R"({"con\u0066ig":["Ll\u0061maCpp","F16",4,1,0],"metrics":[1e2,0.5,0]})",
       OptimizationResult{f16_config, BenchmarkResult{100.0, 0.5, 0}}},
      {"limits",
       R"([["Vllm","Int4",4294967295,0,4294967295],[18446744073709551616,-0,18446744073709551615]])",
       OptimizationResult{RuntimeConfig{RuntimeKind::Vllm, Quantization::Int4, 4294967295u, 0,
                                        4294967295u},
                          BenchmarkResult{18446744073709551616.0, -0.0, UINT64_MAX}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = parse_optimization_result(c.text);
    ASSERT_TRUE(result) << result.error().text();
    EXPECT_EQ(*result, c.expected);
  }
}

TEST(RecordReader, ArrayFormConfig) {
  const auto config = parse_runtime_config(R"(["LlamaCpp","F16",4,1,0])");
  ASSERT_TRUE(config) << config.error().text();
  EXPECT_EQ(*config, (RuntimeConfig{RuntimeKind::LlamaCpp, Quantization::F16, 4, 1, 0}));
}

// ---------------------------------------------------------------------------
// Record readers: every error with its position

enum class Reader { Config, Metrics, Result, Value };

std::string outcome(Reader reader, std::string_view text) {
  auto describe = [](const auto& r) { return r ? std::string("ok") : r.error().text(); };
  switch (reader) {
    case Reader::Config: return describe(parse_runtime_config(text));
    case Reader::Metrics: return describe(parse_benchmark_result(text));
    case Reader::Result: return describe(parse_optimization_result(text));
    case Reader::Value: break;
  }
  return describe(parse_json_value(text));
}

struct ErrorCase {
  Reader reader;
  std::string_view text;
  std::string_view message;
};

void expect_errors(const std::vector<ErrorCase>& cases) {
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(outcome(c.reader, c.text), c.message);
  }
}

constexpr std::string_view kRuntimeVariants =
    "expected one of `LlamaCpp`, `OnnxRuntime`, `TensorRT`, `Ollama`, `Vllm`";

TEST(RecordReader, SemanticErrors) {
  using R = Reader;
  expect_errors({
      {R::Config, R"({"runtime":"llamacpp"})",
       "unknown variant `llamacpp`, expected one of `LlamaCpp`, `OnnxRuntime`, `TensorRT`, "
       "`Ollama`, `Vllm` at line 1 column 21"},
      {R::Config, R"({"quantization":"q4_k_m"})",
       "unknown variant `q4_k_m`, expected one of `F16`, `Q8_0`, `Q4_K_M`, `Q4_0`, `Int8`, "
       "`Int4` at line 1 column 24"},
      {R::Config, R"({"runtime":1})",
       "invalid type: integer `1`, expected enum RuntimeKind at line 1 column 12"},
      {R::Config, R"({"runtime":{"LlamaCpp":null}})",
       "invalid type: map, expected enum RuntimeKind at line 1 column 11"},
      {R::Config, R"({"threads":-1})", "invalid value: integer `-1`, expected u32 at line 1 column 13"},
      {R::Config, R"({"threads":4294967296})",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 21"},
      {R::Config, R"({"threads":8.0})",
       "invalid type: floating point `8.0`, expected u32 at line 1 column 14"},
      {R::Config, R"({"threads":1e3})",
       "invalid type: floating point `1000.0`, expected u32 at line 1 column 14"},
      {R::Config, R"({"threads":-0})",
       "invalid type: floating point `-0.0`, expected u32 at line 1 column 13"},
      {R::Config, R"({"threads":"x"})", "invalid type: string \"x\", expected u32 at line 1 column 14"},
      {R::Config, R"({"threads":"a\"\\\n\t\u0001\u007f"})",
       R"(invalid type: string "a\"\\\n\t\u{1}\u{7f}", expected u32 at line 1 column 34)"},
      {R::Config, R"({"threads":true})", "invalid type: boolean `true`, expected u32 at line 1 column 15"},
      {R::Config, R"({"threads":false})",
       "invalid type: boolean `false`, expected u32 at line 1 column 16"},
      {R::Config, R"({"threads":null})", "invalid type: null, expected u32 at line 1 column 15"},
      {R::Config, R"({"threads":{"a":1}})", "invalid type: map, expected u32 at line 1 column 11"},
      {R::Config, R"({"threads":[1]})", "invalid type: sequence, expected u32 at line 1 column 11"},
      {R::Config, "{\n  \"threads\": -1\n}",
       "invalid value: integer `-1`, expected u32 at line 2 column 15"},
      {R::Config, R"({"threads":1,"threads":2})", "duplicate field `threads` at line 1 column 22"},
      {R::Config, "{\"threads\":1,\"threads\" \n :2}", "duplicate field `threads` at line 2 column 1"},
      {R::Config, R"({"runtime":"LlamaCpp","quantization":"F16","threads":8,"batch_size":1})",
       "missing field `gpu_layers` at line 1 column 70"},
      {R::Config, R"({"gpu_layers":0,"threads":8})", "missing field `runtime` at line 1 column 28"},
      {R::Config, "{ }", "missing field `runtime` at line 1 column 3"},
      {R::Config, R"(["LlamaCpp","F16",4])",
       "invalid length 3, expected struct RuntimeConfig with 5 elements at line 1 column 20"},
      {R::Config, "[ ]",
       "invalid length 0, expected struct RuntimeConfig with 5 elements at line 1 column 3"},
      {R::Config, R"(["LlamaCpp","F16",4,1,0,9])", "trailing characters at line 1 column 25"},
      {R::Config, R"(["LlamaCpp","F16",4,1,0,])", "trailing comma at line 1 column 25"},
      {R::Config, R"(["LlamaCpp","F16",4,1,0)", "EOF while parsing a list at line 1 column 23"},
      {R::Config, "5", "invalid type: integer `5`, expected struct RuntimeConfig at line 1 column 1"},
      {R::Config, R"("x")", "invalid type: string \"x\", expected struct RuntimeConfig at line 1 column 3"},
      {R::Config, " null", "invalid type: null, expected struct RuntimeConfig at line 1 column 5"},
      {R::Metrics, R"({"tokens_per_sec":"fast"})",
       "invalid type: string \"fast\", expected f64 at line 1 column 24"},
      {R::Metrics, R"({"tokens_per_sec":null})", "invalid type: null, expected f64 at line 1 column 22"},
      {R::Metrics, R"({"peak_memory_mb":-5})",
       "invalid value: integer `-5`, expected u64 at line 1 column 20"},
      {R::Metrics, R"({"peak_memory_mb":18446744073709551616})",
       "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 1 column 38"},
      {R::Metrics, R"({"peak_memory_mb":1.5})",
       "invalid type: floating point `1.5`, expected u64 at line 1 column 21"},
      {R::Metrics, R"({"tokens_per_sec":1,"latency_ms":2})",
       "missing field `peak_memory_mb` at line 1 column 35"},
      {R::Metrics, "[1,2]",
       "invalid length 2, expected struct BenchmarkResult with 3 elements at line 1 column 5"},
      {R::Result, R"({"config":[],"metrics":[1,2,3]})",
       "invalid length 0, expected struct RuntimeConfig with 5 elements at line 1 column 12"},
      {R::Result, R"({"config":["LlamaCpp","F16",4,1,0]})", "missing field `metrics` at line 1 column 35"},
      {R::Result, R"([["LlamaCpp","F16",4,1,0]])",
       "invalid length 1, expected struct OptimizationResult with 2 elements at line 1 column 26"},
      {R::Result, "[]",
       "invalid length 0, expected struct OptimizationResult with 2 elements at line 1 column 2"},
      {R::Result, R"({"config":7})",
       "invalid type: integer `7`, expected struct RuntimeConfig at line 1 column 11"},
      {R::Result, R"({"metrics":{"latency_ms":true}})",
       "invalid type: boolean `true`, expected f64 at line 1 column 29"},
  });
}

TEST(RecordReader, SyntaxErrors) {
  using R = Reader;
  expect_errors({
      // An earlier semantic error wins over the broken text after it.
      {R::Config, R"({"runtime":"bad",]]])",
       "unknown variant `bad`, " + std::string(kRuntimeVariants) + " at line 1 column 16"},
      {R::Config, R"({"runtime":"LlamaCpp" "x"})", "expected `,` or `}` at line 1 column 23"},
      {R::Config, R"({"threads" 8})", "expected `:` at line 1 column 12"},
      {R::Config, R"({"threads":x})", "expected value at line 1 column 12"},
      {R::Config, R"({"threads":01})", "invalid number at line 1 column 13"},
      {R::Config, R"({"threads":nul})", "expected ident at line 1 column 15"},
      {R::Config, R"({"extra":[1,2,}})", "expected value at line 1 column 15"},
      {R::Config, R"({"extra":"\x"})", "invalid escape at line 1 column 12"},
      {R::Config, R"({"runtime":"LlamaCpp",})", "trailing comma at line 1 column 23"},
      {R::Config, R"({1:2})", "key must be a string at line 1 column 2"},
      {R::Config, "", "EOF while parsing a value at line 1 column 0"},
      {R::Config, "  \n ", "EOF while parsing a value at line 2 column 1"},
      {R::Config, R"({"threads":)", "EOF while parsing a value at line 1 column 11"},
      {R::Config, R"({"threads":8)", "EOF while parsing an object at line 1 column 12"},
      {R::Config, R"({"threads":8,)", "EOF while parsing a value at line 1 column 13"},
      {R::Config, R"({"thr)", "EOF while parsing a string at line 1 column 5"},
      {R::Config, R"({"threads")", "EOF while parsing an object at line 1 column 10"},
      {R::Result, std::string(kSampleResultCompact) + " x",
       "trailing characters at line 1 column " + std::to_string(kSampleResultCompact.size() + 2)},
      {R::Result, std::string(kSampleResultCompact) + "\n\n{}", "trailing characters at line 3 column 1"},
  });
}

// ---------------------------------------------------------------------------
// Generic values and syntax errors

TEST(JsonValueParse, SyntaxErrors) {
  using R = Reader;
  expect_errors({
      {R::Value, "x", "expected value at line 1 column 1"},
      {R::Value, "\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {R::Value, "nulx", "expected ident at line 1 column 4"},
      {R::Value, "tru", "EOF while parsing a value at line 1 column 3"},
      {R::Value, "[1 2]", "expected `,` or `]` at line 1 column 4"},
      {R::Value, R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
      {R::Value, "[1,]", "trailing comma at line 1 column 4"},
      {R::Value, "[\n1,\n]", "trailing comma at line 3 column 1"},
      {R::Value, R"({"a":1,})", "trailing comma at line 1 column 8"},
      {R::Value, "[,1]", "expected value at line 1 column 2"},
      {R::Value, "{,}", "key must be a string at line 1 column 2"},
      {R::Value, R"({"a" 1})", "expected `:` at line 1 column 6"},
      {R::Value, R"({"a":})", "expected value at line 1 column 6"},
      {R::Value, "[", "EOF while parsing a list at line 1 column 1"},
      {R::Value, "[1,2", "EOF while parsing a list at line 1 column 4"},
      {R::Value, "{", "EOF while parsing an object at line 1 column 1"},
      {R::Value, "{\n\"a\":\n", "EOF while parsing a value at line 3 column 0"},
      {R::Value, "1 2", "trailing characters at line 1 column 3"},
      {R::Value, R"({"a":1}})", "trailing characters at line 1 column 8"},
      // Numbers
      {R::Value, "-", "EOF while parsing a value at line 1 column 1"},
      {R::Value, "-x", "invalid number at line 1 column 2"},
      {R::Value, "+1", "expected value at line 1 column 1"},
      {R::Value, "01", "invalid number at line 1 column 2"},
      {R::Value, ".5", "expected value at line 1 column 1"},
      {R::Value, "1.", "EOF while parsing a value at line 1 column 2"},
      {R::Value, "1.x", "invalid number at line 1 column 3"},
      {R::Value, "1e", "EOF while parsing a value at line 1 column 2"},
      {R::Value, "1e+", "EOF while parsing a value at line 1 column 3"},
      {R::Value, "1ex", "invalid number at line 1 column 3"},
      {R::Value, "1e400", "number out of range at line 1 column 5"},
      {R::Value, "-1e400", "number out of range at line 1 column 6"},
      {R::Value, "[1.8e308]", "number out of range at line 1 column 8"},
      {R::Value, "1e99999999999999", "number out of range at line 1 column 12"},
      // Strings
      {R::Value, "\"abc", "EOF while parsing a string at line 1 column 4"},
      {R::Value, "\"a\\", "EOF while parsing a string at line 1 column 3"},
      {R::Value, R"("a\qb")", "invalid escape at line 1 column 4"},
      {R::Value, R"("\u12G4")", "invalid escape at line 1 column 7"},
      {R::Value, R"("\u12")", "EOF while parsing a string at line 1 column 6"},
      {R::Value, R"("\uDC00")", "lone leading surrogate in hex escape at line 1 column 7"},
      {R::Value, R"("\uD800\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
      {R::Value, R"("\uD800")", "unexpected end of hex escape at line 1 column 8"},
      {R::Value, R"("\uD800\n")", "unexpected end of hex escape at line 1 column 9"},
      {R::Value, "\"a\tb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {R::Value, "\"a\nb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {R::Value, "[\"ok\", \"\xff\"]", "invalid unicode code point at line 1 column 10"},
      {R::Value, "\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 5"},
  });
}

TEST(JsonValueParse, KeepsKindsOrderAndDuplicates) {
  const auto value = parse_json_value(
      R"({"a":1,"a":-2,"b":[1.5,true,null,"x\u00e9\ud83d\ude00\/"],"c":18446744073709551616,)"
      R"("d":-0,"e":-9223372036854775808,"f":-9223372036854775809,"g":1e-400})");
  ASSERT_TRUE(value) << value.error().text();
  const JsonValue::Object* members = value->as_object();
  ASSERT_NE(members, nullptr);
  ASSERT_EQ(members->size(), 8u);
  EXPECT_EQ((*members)[0].key, "a");
  EXPECT_EQ(std::get<std::uint64_t>((*members)[0].value.data), 1u);
  EXPECT_EQ(std::get<std::int64_t>(value->find("a")->data), -2);  // the later one

  const JsonValue::Array* items = value->find("b")->as_array();
  ASSERT_NE(items, nullptr);
  ASSERT_EQ(items->size(), 4u);
  EXPECT_EQ((*items)[0].as_number(), 1.5);
  EXPECT_EQ(*(*items)[1].as_bool(), true);
  EXPECT_TRUE((*items)[2].is_null());
  EXPECT_EQ(*(*items)[3].as_string(), "x\u00e9\U0001F600/");

  EXPECT_EQ(std::get<double>(value->find("c")->data), 18446744073709551616.0);
  const double minus_zero = std::get<double>(value->find("d")->data);
  EXPECT_TRUE(minus_zero == 0 && std::signbit(minus_zero));
  EXPECT_EQ(std::get<std::int64_t>(value->find("e")->data), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(std::get<double>(value->find("f")->data), -9223372036854775809.0);
  EXPECT_EQ(std::get<double>(value->find("g")->data), 0.0);
  EXPECT_EQ(value->find("missing"), nullptr);
  EXPECT_EQ((*items)[0].find("a"), nullptr);
}

TEST(JsonValueParse, NumbersAreCorrectlyRounded) {
  for (const double expected : {0.1, 1.7976931348623157e308, 5e-324, 2.2250738585072014e-308}) {
    const std::string text = format_shortest(expected);
    SCOPED_TRACE(text);
    const auto value = parse_json_value(text);
    ASSERT_TRUE(value) << value.error().text();
    EXPECT_EQ(value->as_number(), expected);
  }
}

TEST(JsonValueParse, BeyondTheDoubleRange) {
  struct Case {
    std::string text;
    std::string_view outcome;  // the value, or the error
  };
  const std::string zeros(400, '0');
  const std::vector<Case> cases = {
      {"1e-400", "0.0"},
      {"-1e-400", "-0.0"},
      {"0." + zeros + "1e70", "0.0"},  // many leading zeros: still an underflow
      {"1" + zeros + "e-100", "1e300"},
      {"0.00001e313", "1e308"},
      {"0e999999999999", "0.0"},
      {"1e-99999999999", "0.0"},
      {"0.00001e314", "number out of range at line 1 column 11"},
      {"1" + zeros, "number out of range at line 1 column 401"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto value = parse_json_value(c.text);
    EXPECT_EQ(value ? format_shortest(*value->as_number()) : value.error().text(), c.outcome);
  }
}

TEST(JsonValueParse, NestingIsCapped) {
  const auto nested = [](std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  EXPECT_TRUE(parse_json_value(nested(127)));
  EXPECT_EQ(outcome(Reader::Value, nested(128)), "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(outcome(Reader::Value, std::string(1'000'000, '[')),
            "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(outcome(Reader::Value, std::string(200'000, '{') ),
            "key must be a string at line 1 column 2");
  std::string objects;
  for (int i = 0; i < 200; ++i) objects += "{\"a\":";
  EXPECT_EQ(outcome(Reader::Value, objects), "recursion limit exceeded at line 1 column 636");

  // A record counts as one level; a skipped member's value nests below it.
  EXPECT_EQ(outcome(Reader::Config, "{\"x\":" + nested(126) + "}"),
            "missing field `runtime` at line 1 column 258");
  EXPECT_EQ(outcome(Reader::Config, "{\"x\":" + nested(127) + "}"),
            "recursion limit exceeded at line 1 column 132");
}

// ---------------------------------------------------------------------------
// The generic reader API, used the way another module builds its own reader

struct CachedEntry {
  OptimizationResult result;
  std::string model_path;
  std::uint64_t created_at = 0;
};

Result<CachedEntry> read_cached_entry(JsonReader& reader) {
  static constexpr JsonField kFields[] = {{"result"}, {"model_path"}, {"created_at"}};
  CachedEntry entry;
  const Status read = reader.read_record("CachedResult", kFields, [&](std::size_t i) -> Status {
    switch (i) {
      case 0: return store(entry.result, read_optimization_result(reader));
      case 1: return store(entry.model_path, reader.read_string());
      default: return store(entry.created_at, reader.read_u64());
    }
  });
  if (!read) return std::unexpected(read.error());
  return entry;
}

void write_json(JsonWriter& writer, const CachedEntry& entry) {
  writer.begin_object();
  writer.key("result");
  write_json(writer, entry.result);
  writer.key("model_path");
  writer.string(entry.model_path);
  writer.key("created_at");
  writer.u64(entry.created_at);
  writer.end_object();
}

TEST(GenericReader, EmbeddedRecordRoundTrip) {
  const CachedEntry entry{kSampleResult, "/m/\u00e9 \"q\".gguf", 1733788800};
  const std::string text = to_json_compact(entry);
  EXPECT_EQ(text, cat(R"({"result":)", kSampleResultCompact,
                      R"(,"model_path":"/m/)" "\u00e9" R"( \"q\".gguf","created_at":1733788800})"));
  const auto back = parse_json_document(text, read_cached_entry);
  ASSERT_TRUE(back) << back.error().text();
  EXPECT_EQ(back->result, kSampleResult);
  EXPECT_EQ(back->model_path, entry.model_path);
  EXPECT_EQ(back->created_at, entry.created_at);
}

TEST(GenericReader, EmbeddedRecordErrors) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::string result(kSampleResultCompact);
  const std::vector<Case> cases = {
      {R"({"created_at":1,"extra":{},"model_path":"m","result":)" + result + "}", "ok"},
      {R"({"result":)" + result + R"(,"model_path":"m"})",
       "missing field `created_at` at line 1 column 201"},
      {R"({"model_path":"m","model_path":"n"})", "duplicate field `model_path` at line 1 column 30"},
      {R"({"model_path":5})", "invalid type: integer `5`, expected a string at line 1 column 15"},
      {R"({"result":{"config":{"runtime":"Onnx"}}})",
       "unknown variant `Onnx`, " + std::string(kRuntimeVariants) + " at line 1 column 37"},
      {"true", "invalid type: boolean `true`, expected struct CachedResult at line 1 column 4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto entry = parse_json_document(c.text, read_cached_entry);
    EXPECT_EQ(entry ? std::string("ok") : entry.error().text(), c.message);
  }
}

// Members that may be missing or null, as in a runner's answer.
struct Answer {
  std::optional<std::string> output_path;
  std::optional<std::string> error;
};

Result<Answer> read_answer(JsonReader& reader) {
  static constexpr JsonField kFields[] = {{"output_path", false}, {"error", false}};
  Answer answer;
  const Status read = reader.read_record("Answer", kFields, [&](std::size_t i) -> Status {
    std::optional<std::string>& target = i == 0 ? answer.output_path : answer.error;
    const auto is_null = reader.read_null_if_present();
    if (!is_null) return std::unexpected(is_null.error());
    if (*is_null) return {};
    return store(target, reader.read_string());
  });
  if (!read) return std::unexpected(read.error());
  return answer;
}

TEST(GenericReader, OptionalMembers) {
  struct Case {
    std::string_view text;
    std::string_view outcome;  // "output_path|error" with "-" for none, or the error
  };
  const std::vector<Case> cases = {
      {"{}", "-|-"},
      {R"({"output_path": null})", "-|-"},
      {R"({"output_path":"out.onnx","note":[1]})", "out.onnx|-"},
      {R"({"error":"bad magic","output_path":"x"})", "x|bad magic"},
      {R"(["a",null])", "a|-"},
      {R"(["a"])", "invalid length 1, expected struct Answer with 2 elements at line 1 column 5"},
      {R"({"error":5})", "invalid type: integer `5`, expected a string at line 1 column 10"},
      {R"({"error":nil})", "expected ident at line 1 column 11"},
      {R"({"error":"a","error":"b"})", "duplicate field `error` at line 1 column 20"},
      {"{} {}", "trailing characters at line 1 column 4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto answer = parse_json_document(c.text, read_answer);
    const std::string got =
        answer ? cat(answer->output_path.value_or("-"), "|", answer->error.value_or("-"))
               : answer.error().text();
    EXPECT_EQ(got, c.outcome);
  }
}

TEST(GenericReader, CallerChecksAndOtherScalars) {
  JsonReader reader(R"( [true, "s", 7] )");
  ASSERT_TRUE(reader.skip_value());
  EXPECT_TRUE(reader.finish());

  JsonReader flags(" false ");
  EXPECT_EQ(flags.read_bool(), false);
  EXPECT_TRUE(flags.finish());

  JsonReader number("12 ");
  EXPECT_EQ(number.read_u32(), 12u);
  EXPECT_EQ(number.error_here("too few").text(), "too few at line 1 column 2");

  JsonReader not_bool("1");
  EXPECT_EQ(not_bool.read_bool().error().text(),
            "invalid type: integer `1`, expected a boolean at line 1 column 1");
}

// ---------------------------------------------------------------------------
// Errors and text helpers the JSON code relies on

TEST(ErrorChain, TextJoinsCausesOutermostFirst) {
  const Error inner(AdapterError::not_installed("llama-cli", "build llama.cpp"));
  const Error outer = inner.wrap("probe").wrap("benchmark");
  EXPECT_EQ(outer.text(),
            "benchmark: probe: required binary 'llama-cli' was not found in PATH \u2014 build "
            "llama.cpp");
  EXPECT_EQ(outer.root().message(), inner.message());
  ASSERT_NE(outer.find_adapter(AdapterError::Kind::NotInstalled), nullptr);
  EXPECT_EQ(outer.find_adapter(AdapterError::Kind::NotInstalled)->first, "llama-cli");
  EXPECT_EQ(outer.find_adapter(AdapterError::Kind::InferenceFailed), nullptr);
  EXPECT_EQ(Error("alone").text(), "alone");
}

TEST(TextHelpers, ReplaceInvalidUtf8LikePython) {
  // Expected texts are those of bytes.decode("utf-8", "replace").
  struct Case {
    std::string_view bytes;
    std::string_view text;
  };
  const std::string_view fffd = "\xef\xbf\xbd";
  const std::vector<Case> cases = {
      {"\xff", fffd},
      {"a\xc3", "a\xef\xbf\xbd"},
      {"\xe0\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"\xf0\x9f\x98", fffd},
      {"\xf0\x9f\x98" "a", "\xef\xbf\xbd" "a"},
      {"\xc3\xa9\x80", "\xc3\xa9\xef\xbf\xbd"},
      {"ok \xf0\x9f\x98\x80", "ok \xf0\x9f\x98\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(utf8_replace_invalid(c.bytes), c.text);
  }
}

TEST(TextHelpers, TrimAndSplitLines) {
  EXPECT_EQ(trim("\u00a0\u3000 x y\t\u3000\u00a0"), "x y");
  EXPECT_EQ(trim("\u3000"), "");
  const std::vector<std::string_view> lines = split_lines("a\r\nb\n\r\nc\r");
  EXPECT_EQ(lines, (std::vector<std::string_view>{"a", "b", "", "c\r"}));
}

TEST(TextHelpers, FormatFixedRoundsTiesToEvenOnTheBinaryValue) {
  struct Case {
    double value;
    int decimals;
    std::string_view text;
  };
  const std::vector<Case> cases = {
      {0.25, 1, "0.2"},   {12.35, 1, "12.3"},  // 12.35 is just below the tie
      {42.45, 1, "42.5"},  // 42.45 is just above it
      {2.5, 0, "2"},      {3.5, 0, "4"},      {12.345, 1, "12.3"},
      {kNaN, 1, "NaN"},   {kInf, 1, "inf"},   {-kInf, 1, "-inf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(format_fixed(c.value, c.decimals), c.text);
  }
}

}  // namespace
}  // namespace halvorn
