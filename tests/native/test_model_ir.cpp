// The model record: choosing the reader by extension, the figures derived
// from the readers' summaries, and the parameter estimate against the
// published counts of well-known models.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "core/text.hpp"
#include "model-ir/model.hpp"

namespace halvorn {
namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

struct ExtensionCase {
  const char* path;
  const char* extension;
};

class ModelExtension : public testing::TestWithParam<ExtensionCase> {};

TEST_P(ModelExtension, OfTheFinalComponent) {
  EXPECT_EQ(model_extension(GetParam().path), GetParam().extension) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ModelExtension,
    testing::Values(ExtensionCase{"model.gguf", "gguf"}, ExtensionCase{"model.GGUF", "gguf"},
                    ExtensionCase{"dir/model.Gguf", "gguf"}, ExtensionCase{"/m/x.OnNx", "onnx"},
                    ExtensionCase{"model.gguf.bak", "bak"}, ExtensionCase{"a.b/model", ""},
                    ExtensionCase{"model", ""}, ExtensionCase{".gguf", ""},
                    ExtensionCase{"dir/.gguf", ""}, ExtensionCase{"..gguf", "gguf"},
                    ExtensionCase{"model.", ""}, ExtensionCase{"..", ""},
                    ExtensionCase{"x.gguf/..", ""}, ExtensionCase{"x.gguf/", "gguf"},
                    ExtensionCase{"x.gguf//", "gguf"}, ExtensionCase{"x.gguf/.", "gguf"},
                    ExtensionCase{"x.gguf/./", "gguf"}, ExtensionCase{"./x.gguf", "gguf"},
                    ExtensionCase{".", ""}, ExtensionCase{"/", ""}, ExtensionCase{"", ""},
                    ExtensionCase{"a/b.tar.GZ", "gz"}, ExtensionCase{"x.\xc3\x89", "\xc3\x89"}));

// A GGUF file with the given keys, all Uint64, under its own name in a
// fresh directory (so that the name, extension included, is the test's).
class GgufFile {
 public:
  GgufFile(const std::string& name, std::initializer_list<std::pair<std::string, std::uint64_t>> keys) {
    std::string dir = testing::TempDir() + "model-ir-XXXXXX";
    EXPECT_NE(::mkdtemp(dir.data()), nullptr);
    dir_ = dir;
    path_ = dir_ + "/" + name;
    std::string b = "GGUF";
    le(b, 3, 4);
    le(b, 0, 8);
    le(b, keys.size(), 8);
    for (const auto& [key, value] : keys) {
      le(b, key.size(), 8);
      b += key;
      le(b, 10, 4);  // Uint64
      le(b, value, 8);
    }
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
  }
  ~GgufFile() {
    std::remove(path_.c_str());
    ::rmdir(dir_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  static void le(std::string& b, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  }
  std::string dir_;
  std::string path_;
};

TEST(LoadModel, UnknownExtensionFailsWithoutOpening) {
  // Neither path exists: the extension is refused before any file is touched.
  const struct {
    const char* path;
    const char* shown;
  } cases[] = {{"/no/such/model.gguf.bak", "bak"}, {"/no/such/model", ""}, {"/no/such/.gguf", ""},
               {"/no/such/M.GGML", "ggml"}};
  for (const auto& c : cases) {
    auto model = load_model(c.path);
    ASSERT_FALSE(model.has_value()) << c.path;
    EXPECT_EQ(model.error().text(),
              cat("unrecognised model file extension '.", c.shown, "'; expected '.gguf' or '.onnx'"));
  }
}

TEST(LoadModel, GgufReaderFailuresPassUnchanged) {
  auto model = load_model("/no/such/dir/m.GGUF");
  ASSERT_FALSE(model.has_value());
  EXPECT_EQ(model.error().text(), "open GGUF file: /no/such/dir/m.GGUF: No such file or directory");
}

TEST(LoadModel, UpperCaseExtensionReadsGguf) {
  GgufFile file("load-model.GGUF", {{"general.parameter_count", 7000000000},
                                    {"llama.block_count", 32},
                                    {"llama.attention.head_count_kv", 8}});
  auto model = load_model(file.path());
  ASSERT_TRUE(model.has_value()) << model.error().text();
  EXPECT_EQ(model->format, ModelFormat::Gguf);
  EXPECT_EQ(model->param_count, 7000000000u);
  EXPECT_EQ(model->layer_count, 32u);
  EXPECT_EQ(model->attention_head_count_kv, 8u);
  EXPECT_EQ(model->memory_footprint_mb, 13351.4404296875);
  EXPECT_EQ(model->flops_per_token, 14000000000.0);
}

TEST(ModelFromGguf, NothingKnownGivesOnlyTheFormat) {
  const ModelIR model = model_from_gguf(GgufSummary{});
  EXPECT_EQ(model.format, ModelFormat::Gguf);
  EXPECT_FALSE(model.param_count || model.architecture || model.context_length || model.layer_count ||
               model.hidden_size || model.attention_head_count || model.attention_head_count_kv ||
               model.feed_forward_length || model.kv_cache_size_mb || model.memory_footprint_mb ||
               model.flops_per_token);
}

TEST(ModelFromGguf, NarrowsToLow32BitsButDerivesFromFullValues) {
  GgufSummary s;
  s.architecture = "llama";
  s.block_count = (std::uint64_t{1} << 32) + 2;
  s.embedding_length = (std::uint64_t{1} << 32) | 64;
  s.head_count = (std::uint64_t{1} << 32) + 1;
  s.head_count_kv = (std::uint64_t{1} << 33) | 7;
  s.context_length = std::uint64_t{1} << 32;
  s.feed_forward_length = (std::uint64_t{1} << 40) + 3;
  s.parameter_count = 1;
  const ModelIR model = model_from_gguf(s);
  EXPECT_EQ(model.architecture, "llama");
  EXPECT_EQ(model.layer_count, 2u);
  EXPECT_EQ(model.hidden_size, 64u);
  EXPECT_EQ(model.attention_head_count, 1u);
  EXPECT_EQ(model.attention_head_count_kv, 7u);
  EXPECT_EQ(model.context_length, 0u);
  EXPECT_EQ(model.feed_forward_length, (std::uint64_t{1} << 40) + 3);
  ASSERT_TRUE(model.kv_cache_size_mb.has_value());
  EXPECT_GT(*model.kv_cache_size_mb, 1e20);  // 2^32 positions, not 0
}

struct KvCase {
  const char* name;
  std::optional<std::uint64_t> blocks, embedding, heads, kv_heads, context;
  std::optional<double> kv_cache_mb;
};

class KvCacheSize : public testing::TestWithParam<KvCase> {};

TEST_P(KvCacheSize, InMiB) {
  const KvCase& c = GetParam();
  GgufSummary s;
  s.block_count = c.blocks;
  s.embedding_length = c.embedding;
  s.head_count = c.heads;
  s.head_count_kv = c.kv_heads;
  s.context_length = c.context;
  const ModelIR model = model_from_gguf(s);
  EXPECT_EQ(model.kv_cache_size_mb, c.kv_cache_mb);
  // The record shows only the key/value head count the file states.
  EXPECT_EQ(model.attention_head_count_kv.has_value(), c.kv_heads.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, KvCacheSize,
    testing::Values(
        KvCase{"heads_stand_in_for_kv_heads", 32, 4096, 32, std::nullopt, 4096, 2048.0},
        KvCase{"grouped_kv_heads", 32, 4096, 32, 8, 4096, 512.0},
        // Head width 10/4 = 2.5 in floating point, not 2.
        KvCase{"fractional_head_width", 1, 10, 4, 1, 1, 10.0 / 1048576.0},
        KvCase{"context_beyond_32_bits", 32, 4096, 32, 32, std::uint64_t{1} << 32, 2147483648.0},
        KvCase{"zero_heads", 32, 4096, 0, 8, 4096, std::nullopt},
        KvCase{"no_heads", 32, 4096, std::nullopt, 8, 4096, std::nullopt},
        KvCase{"no_context", 32, 4096, 32, 8, std::nullopt, std::nullopt},
        KvCase{"no_blocks", std::nullopt, 4096, 32, 8, 4096, std::nullopt},
        KvCase{"no_embedding", 32, std::nullopt, 32, 8, 4096, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModelFromGguf, ZeroHeadsStillShown) {
  GgufSummary s;
  s.head_count = 0;
  EXPECT_EQ(model_from_gguf(s).attention_head_count, 0u);
}

TEST(ModelFromGguf, EstimateFeedsDerivedFiguresLikeAStatedCount) {
  GgufSummary s;
  s.block_count = 32;
  s.embedding_length = 4096;
  const ModelIR estimated = model_from_gguf(s);
  ASSERT_TRUE(estimated.param_count.has_value());
  s.parameter_count = estimated.param_count;
  s.block_count.reset();
  const ModelIR stated = model_from_gguf(s);
  EXPECT_EQ(estimated.param_count, stated.param_count);
  EXPECT_EQ(estimated.memory_footprint_mb, stated.memory_footprint_mb);
  EXPECT_EQ(estimated.flops_per_token, stated.flops_per_token);
}

TEST(ModelFromGguf, StatedCountWinsOverTheEstimate) {
  GgufSummary s;
  s.block_count = 32;
  s.embedding_length = 4096;
  s.parameter_count = 5;
  EXPECT_EQ(model_from_gguf(s).param_count, 5u);
  EXPECT_EQ(model_from_gguf(s).flops_per_token, 10.0);
}

// Shapes as their GGUF metadata states them, with the published counts.
struct KnownModel {
  const char* name;
  std::uint64_t blocks, embedding, heads, kv_heads, feed_forward, vocab;
  double true_count;
};

const KnownModel kKnownModels[] = {
    {"llama2_7b", 32, 4096, 32, 32, 11008, 32000, 6.738e9},
    {"llama2_70b", 80, 8192, 64, 8, 28672, 32000, 68.98e9},
    {"llama3_8b", 32, 4096, 32, 8, 14336, 128256, 8.030e9},
    {"mistral_7b", 32, 4096, 32, 8, 14336, 32000, 7.242e9},
    {"qwen2_5_0_5b", 24, 896, 14, 2, 4864, 151936, 0.494e9},
    {"gemma_2b", 18, 2048, 8, 1, 16384, 256000, 2.506e9},
    {"phi3_mini", 32, 3072, 32, 32, 8192, 32064, 3.821e9},
};

GgufSummary shape_of(const KnownModel& m) {
  GgufSummary s;
  s.block_count = m.blocks;
  s.embedding_length = m.embedding;
  s.head_count = m.heads;
  s.head_count_kv = m.kv_heads;
  s.feed_forward_length = m.feed_forward;
  s.vocab_size = m.vocab;
  return s;
}

double relative_error(std::optional<std::uint64_t> estimate, double truth) {
  EXPECT_TRUE(estimate.has_value());
  return std::fabs(static_cast<double>(estimate.value_or(0)) - truth) / truth;
}

class ParamEstimate : public testing::TestWithParam<KnownModel> {};

TEST_P(ParamEstimate, FullShapeWithinAQuarter) {
  EXPECT_LT(relative_error(estimate_param_count(shape_of(GetParam())), GetParam().true_count), 0.25);
}

// Files that leave out the feed-forward length, the vocabulary or the head
// counts still give an estimate within a quarter for the larger models, and
// of the right order for small ones, where the vocabulary weighs most.
TEST_P(ParamEstimate, PartialShapesStayOfTheRightSize) {
  const KnownModel& m = GetParam();
  GgufSummary no_ff = shape_of(m);
  no_ff.feed_forward_length.reset();
  GgufSummary no_heads = shape_of(m);
  no_heads.head_count.reset();
  no_heads.head_count_kv.reset();
  GgufSummary zero_heads = shape_of(m);
  zero_heads.head_count = 0;
  GgufSummary no_vocab = shape_of(m);
  no_vocab.vocab_size.reset();
  GgufSummary bare;
  bare.block_count = m.blocks;
  bare.embedding_length = m.embedding;
  for (const GgufSummary* s : {&no_ff, &no_heads, &zero_heads, &no_vocab, &bare}) {
    const double error = relative_error(estimate_param_count(*s), m.true_count);
    EXPECT_LT(error, m.true_count > 5e9 ? 0.25 : 0.6);
  }
}

INSTANTIATE_TEST_SUITE_P(Models, ParamEstimate, testing::ValuesIn(kKnownModels),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EstimateParamCount, NeedsBlocksAndEmbedding) {
  GgufSummary s = shape_of(kKnownModels[0]);
  s.block_count.reset();
  EXPECT_FALSE(estimate_param_count(s).has_value());
  s = shape_of(kKnownModels[0]);
  s.embedding_length.reset();
  EXPECT_FALSE(estimate_param_count(s).has_value());
  EXPECT_FALSE(model_from_gguf(s).param_count.has_value());
  EXPECT_FALSE(model_from_gguf(s).memory_footprint_mb.has_value());
}

TEST(EstimateParamCount, SaturatesInsteadOfWrapping) {
  const struct {
    std::uint64_t blocks, embedding;
    std::optional<std::uint64_t> heads, kv_heads, feed_forward, vocab;
  } cases[] = {
      {1, std::uint64_t{1} << 32, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {kMax64, 4096, 32, 8, 14336, 32000},
      {1, 4096, 1, kMax64, 14336, 32000},
      {1, 4096, 32, 8, kMax64, 32000},
      {1, 4096, 32, 8, 14336, kMax64},
      {kMax64, kMax64, kMax64, kMax64, kMax64, kMax64},
  };
  for (const auto& c : cases) {
    GgufSummary s;
    s.block_count = c.blocks;
    s.embedding_length = c.embedding;
    s.head_count = c.heads;
    s.head_count_kv = c.kv_heads;
    s.feed_forward_length = c.feed_forward;
    s.vocab_size = c.vocab;
    EXPECT_EQ(estimate_param_count(s), kMax64);
  }
  GgufSummary zero;
  zero.block_count = 0;
  zero.embedding_length = 0;
  EXPECT_EQ(estimate_param_count(zero), 0u);
}

struct OnnxCase {
  const char* name;
  OnnxSummary summary;
  std::optional<std::uint64_t> param_count;
  std::optional<std::uint32_t> layer_count;
};

class ModelFromOnnx : public testing::TestWithParam<OnnxCase> {};

TEST_P(ModelFromOnnx, CountsOnly) {
  const OnnxCase& c = GetParam();
  const ModelIR model = model_from_onnx(c.summary);
  EXPECT_EQ(model.format, ModelFormat::Onnx);
  EXPECT_EQ(model.param_count, c.param_count);
  EXPECT_EQ(model.layer_count, c.layer_count);
  if (c.param_count) {
    const double p = static_cast<double>(*c.param_count);
    EXPECT_EQ(model.flops_per_token, p + p);
    EXPECT_EQ(model.memory_footprint_mb, (p + p) * 9.5367431640625e-7);
  } else {
    EXPECT_FALSE(model.flops_per_token || model.memory_footprint_mb);
  }
  EXPECT_FALSE(model.architecture || model.context_length || model.hidden_size ||
               model.attention_head_count || model.attention_head_count_kv ||
               model.feed_forward_length || model.kv_cache_size_mb);
}

INSTANTIATE_TEST_SUITE_P(
    Summaries, ModelFromOnnx,
    testing::Values(OnnxCase{"no_graph", {false, 0, 0}, std::nullopt, std::nullopt},
                    OnnxCase{"graph_without_initializers", {true, 0, 3}, std::nullopt, 3u},
                    OnnxCase{"graph_without_nodes", {true, 16781312, 0}, 16781312u, std::nullopt},
                    OnnxCase{"node_count_low_32_bits", {true, 1, (std::uint64_t{1} << 32) + 3}, 1u, 3u},
                    OnnxCase{"saturated_initializers", {true, kMax64, 1}, kMax64, 1u}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace halvorn
