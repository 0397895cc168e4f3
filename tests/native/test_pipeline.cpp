// The staged pipeline end to end on estimates, the result cache on a
// temporary home directory, and the per-call task runtime.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/record_json.hpp"
#include "optimizer/lib/cache.hpp"
#include "optimizer/lib/pipeline.hpp"
#include "optimizer/lib/progress.hpp"
#include "optimizer/lib/task_runtime.hpp"

namespace halvorn {
namespace {

namespace fs = std::filesystem;

HardwareProfile machine(std::uint32_t cores = 8, std::uint64_t available_mb = 20000) {
  HardwareProfile hw;
  hw.cpu.core_count = cores;
  hw.cpu.brand = "Test CPU";
  hw.cpu.simd_level = SimdLevel::AVX2;
  hw.ram.total_mb = 32000;
  hw.ram.available_mb = available_mb;
  return hw;
}

ModelInfo llama7b(std::string path) {
  ModelInfo model;
  model.path = std::move(path);
  model.format = ModelFormat::Gguf;
  model.param_count = 7000000000ULL;
  model.feed_forward_length = 11008;
  model.hidden_size = 4096;
  model.memory_footprint_mb = 13351.4404296875;
  model.kv_cache_size_mb = 2048.0;
  return model;
}

// A home directory of our own and a model file in it, restored afterwards.
class TempHome : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/halvorn-home-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home_ = pattern;
    if (const char* old = std::getenv("HOME")) old_home_ = old;
    setenv("HOME", home_.c_str(), 1);
    model_path_ = (home_ / "model.gguf").string();
    std::ofstream(model_path_) << "GGUF and then some bytes";
  }
  void TearDown() override {
    if (old_home_) setenv("HOME", old_home_->c_str(), 1); else unsetenv("HOME");
    fs::permissions(home_, fs::perms::owner_all, fs::perm_options::add);
    std::error_code ec;
    if (fs::exists(home_ / ".cindrel")) fs::permissions(home_ / ".cindrel", fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(home_);
  }
  fs::path cache_dir() const { return home_ / ".cindrel" / "cache"; }
  std::vector<fs::path> cache_files() const {
    std::vector<fs::path> files;
    if (!fs::exists(cache_dir())) return files;
    for (const auto& e : fs::directory_iterator(cache_dir())) files.push_back(e.path());
    return files;
  }

  fs::path home_;
  std::optional<std::string> old_home_;
  std::string model_path_;
};

std::unique_ptr<TaskRuntime> runtime() {
  auto rt = TaskRuntime::create(2);
  EXPECT_TRUE(rt.has_value());
  return std::move(*rt);
}

TEST(ExplainFailure, ChoosesMessageByWhatIsKnown) {
  const std::vector<std::string> reasons = {"a failed", "b failed"};
  const std::vector<std::string> missing = {"llama-cli", "ollama"};
  EXPECT_EQ(explain_failure(reasons, missing, 10.0).text(),
            "no compatible runtimes found \u2014 required runtime binaries are missing: "
            "llama-cli, ollama\nInstall the missing programs and retry.\n"
            "Additional failure reasons: a failed; b failed");
  EXPECT_EQ(explain_failure({}, missing, 10.0).text(),
            "no compatible runtimes found \u2014 required runtime binaries are missing: "
            "llama-cli, ollama\nInstall the missing programs and retry.");
  EXPECT_EQ(explain_failure(reasons, {}, 10.0).text(),
            "no compatible runtimes found \u2014 all benchmark attempts failed.\n"
            "Failure reasons: a failed; b failed");
  EXPECT_EQ(explain_failure({}, {}, 12.25).text(),
            "no valid configuration found: no configuration meets the latency constraint of "
            "12.2 ms. Try relaxing --latency or freeing RAM.");
}

TEST_F(TempHome, RunsEveryStageAndStoresTheResult) {
  CapturedProgress progress;
  auto rt = runtime();
  auto result = run_optimization({llama7b(model_path_), machine(), std::nullopt, true}, progress, *rt);
  ASSERT_TRUE(result.has_value()) << result.error().text();

  const auto& lines = progress.lines();
  ASSERT_EQ(lines.size(), 4u + 5u + 14u + 1u);
  EXPECT_EQ(lines[0], "[Stage 1/4] Hardware: 8 cores, GPU=no, VRAM=none, RAM=20000MB");
  EXPECT_EQ(lines[1], "[Stage 2/4] Model: workload=MemoryBound, params=7.0B, FP16=13351MB");
  EXPECT_EQ(lines[2], "[Stage 3/4] Preselected runtimes: [LlamaCpp, Ollama]");
  EXPECT_EQ(lines[3],
            "[Stage 4/4] Bayesian optimization (hardware-aware estimation): 5 initial samples + "
            "7 refinement iterations");
  EXPECT_EQ(lines[4].rfind("[Bayes init 1/5] ", 0), 0u);
  EXPECT_EQ(lines[9].rfind("[Bayes iter 1/7] ", 0), 0u);
  EXPECT_EQ(lines[10].rfind("[Bayes iter 1/7] Result: ", 0), 0u);
  EXPECT_EQ(lines.back().rfind("[Bayes final] Best: ", 0), 0u);

  // The best estimate is what comes back and what the cache now holds.
  ASSERT_EQ(cache_files().size(), 1u);
  auto cached = load_cached(machine(), llama7b(model_path_));
  ASSERT_TRUE(cached.has_value());
  EXPECT_EQ(*cached, *result);

  // A second call is served from the cache with one line and no stage.
  CapturedProgress again;
  auto second = run_optimization({llama7b(model_path_), machine(), std::nullopt, true}, again, *rt);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(*second, *result);
  EXPECT_EQ(again.lines(), std::vector<std::string>{
      "[halvorn] Cache hit \u2014 returning stored result (use --no-cache to force re-run)"});
}

TEST_F(TempHome, EqualInputsGiveEqualLines) {
  auto rt = runtime();
  CapturedProgress first, second;
  ASSERT_TRUE(run_optimization({llama7b(model_path_), machine(), std::nullopt, false}, first, *rt));
  ASSERT_TRUE(run_optimization({llama7b(model_path_), machine(), std::nullopt, false}, second, *rt));
  EXPECT_EQ(first.lines(), second.lines());
  EXPECT_TRUE(cache_files().empty()) << "use_cache=false must not write";
}

TEST_F(TempHome, UnknownModelPrintsUnknownAndStoreFailsWithoutFile) {
  ModelInfo missing;
  missing.path = (home_ / "absent.gguf").string();
  CapturedProgress progress;
  auto rt = runtime();
  auto result = run_optimization({missing, machine(), std::nullopt, true}, progress, *rt);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(progress.lines()[1], "[Stage 2/4] Model: workload=Balanced, params=unknown, FP16=unknown");
  EXPECT_EQ(progress.lines().back(), "[halvorn] Warning: could not write cache: could not compute cache key");
}

TEST_F(TempHome, LatencyCeilingFallsBackWithLatencyCause) {
  CapturedProgress progress;
  auto rt = runtime();
  auto result = run_optimization({llama7b(model_path_), machine(), 0.5, true}, progress, *rt);
  ASSERT_FALSE(result.has_value());
  const auto& lines = progress.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2].rfind("[Bayes final] Best config latency ", 0), 0u);
  EXPECT_NE(lines[lines.size() - 2].find("ms exceeds limit 0.5ms \u2014 falling back to cartesian search"),
            std::string::npos);
  EXPECT_EQ(lines.back(),
            "[Bayes final] No successful evaluations \u2014 falling back to cartesian search. "
            "Failure reasons: none recorded");
  EXPECT_EQ(result.error().message().rfind("cartesian fallback also failed: ", 0), 0u);
  ASSERT_NE(result.error().cause(), nullptr);
  EXPECT_EQ(result.error().cause()->text(),
            "no valid configuration found: no configuration meets the latency constraint of 0.5 "
            "ms. Try relaxing --latency or freeing RAM.");
  EXPECT_TRUE(cache_files().empty());
}

TEST_F(TempHome, KeyTextIsTimeSizeAndHardwareJson) {
  struct timespec times[2] = {{1733788800, 0}, {1733788800, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, model_path_.c_str(), times, 0), 0);
  const auto text = cache_key_text(machine(), model_path_);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, "1733788800_24_" + to_json_compact(machine()));
  const auto key = cache_key(machine(), model_path_);
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(key->size(), 64u);
  EXPECT_EQ(key->find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(cache_file_path(*key), cache_dir() / (*key + ".json"));
  EXPECT_FALSE(cache_key(machine(), (home_ / "nope").string()).has_value());
}

TEST_F(TempHome, FileLayoutIsCompactAndReadsBack) {
  const OptimizationResult result{{RuntimeKind::LlamaCpp, Quantization::Q4_K_M, 8, 1, 0}, {42.5, 23.0, 4404}};
  ASSERT_TRUE(store_cached(machine(), llama7b(model_path_), result));
  ASSERT_EQ(cache_files().size(), 1u);
  std::ifstream in(cache_files()[0]);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string prefix =
      "{\"result\":{\"config\":{\"runtime\":\"LlamaCpp\",\"quantization\":\"Q4_K_M\",\"threads\":8,"
      "\"batch_size\":1,\"gpu_layers\":0},\"metrics\":{\"tokens_per_sec\":42.5,\"latency_ms\":23.0,"
      "\"peak_memory_mb\":4404}},\"model_path\":\"" + model_path_ + "\",\"created_at\":";
  EXPECT_EQ(text.substr(0, prefix.size()), prefix);
  EXPECT_EQ(text.back(), '}');
}

struct EntryCase {
  std::string name;
  std::string text;
  bool hit;
};

class CacheEntries : public TempHome, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(CacheEntries, HitOnlyForCompleteEntries) {
  const auto key = cache_key(machine(), model_path_);
  ASSERT_TRUE(key.has_value());
  fs::create_directories(cache_dir());
  std::ofstream(cache_dir() / (*key + ".json")) << GetParam().text;
  EXPECT_EQ(load_cached(machine(), llama7b(model_path_)).has_value(), GetParam().hit);
}

const std::string kResult =
    "{\"config\":{\"runtime\":\"Ollama\",\"quantization\":\"Q8_0\",\"threads\":4,\"batch_size\":128,"
    "\"gpu_layers\":3},\"metrics\":{\"tokens_per_sec\":1.5,\"latency_ms\":2.5,\"peak_memory_mb\":7}}";

INSTANTIATE_TEST_SUITE_P(
    Cache, CacheEntries,
    ::testing::Values(
        EntryCase{"complete", "{\"result\":" + kResult + ",\"model_path\":\"m\",\"created_at\":1}", true},
        EntryCase{"extra_member", "{\"x\":[1,{}],\"result\":" + kResult + ",\"model_path\":\"m\",\"created_at\":1}", true},
        EntryCase{"trailing_space", "{\"result\":" + kResult + ",\"model_path\":\"m\",\"created_at\":1}\n ", true},
        EntryCase{"no_created_at", "{\"result\":" + kResult + ",\"model_path\":\"m\"}", false},
        EntryCase{"duplicate", "{\"result\":" + kResult + ",\"result\":" + kResult + ",\"model_path\":\"m\",\"created_at\":1}", false},
        EntryCase{"bad_variant", "{\"result\":{\"config\":{\"runtime\":\"llamacpp\",\"quantization\":\"Q8_0\",\"threads\":4,\"batch_size\":1,\"gpu_layers\":0},\"metrics\":{\"tokens_per_sec\":1,\"latency_ms\":2,\"peak_memory_mb\":7}},\"model_path\":\"m\",\"created_at\":1}", false},
        EntryCase{"half_written", "{\"result\":" + kResult.substr(0, 40), false},
        EntryCase{"trailing_garbage", "{\"result\":" + kResult + ",\"model_path\":\"m\",\"created_at\":1}x", false},
        EntryCase{"not_utf8", "{\"result\":" + kResult + ",\"model_path\":\"\xff\",\"created_at\":1}", false}),
    [](const auto& info) { return info.param.name; });

TEST_F(TempHome, TouchingTheModelMisses) {
  const OptimizationResult result{{RuntimeKind::LlamaCpp, Quantization::F16, 2, 1, 0}, {1.0, 1.0, 1}};
  ASSERT_TRUE(store_cached(machine(), llama7b(model_path_), result));
  struct timespec times[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, model_path_.c_str(), times, 0), 0);
  EXPECT_FALSE(load_cached(machine(), llama7b(model_path_)).has_value());
  // Another machine description is another entry.
  ASSERT_TRUE(store_cached(machine(), llama7b(model_path_), result));
  EXPECT_FALSE(load_cached(machine(16), llama7b(model_path_)).has_value());
}

TEST_F(TempHome, UnwritableCacheDirectoryReportsTheSystemError) {
  if (geteuid() == 0) GTEST_SKIP() << "root ignores directory permissions";
  fs::create_directories(home_ / ".cindrel");
  fs::permissions(home_ / ".cindrel", fs::perms::owner_read | fs::perms::owner_exec);
  const OptimizationResult result{};
  auto stored = store_cached(machine(), llama7b(model_path_), result);
  ASSERT_FALSE(stored.has_value());
  EXPECT_EQ(stored.error().text(), "Permission denied");
}

TEST_F(TempHome, CacheDirectoryBlockedByAFile) {
  std::ofstream(home_ / ".cindrel") << "not a directory";
  auto stored = store_cached(machine(), llama7b(model_path_), OptimizationResult{});
  ASSERT_FALSE(stored.has_value());
  EXPECT_FALSE(stored.error().text().empty());
}

TEST_F(TempHome, RewritingLeavesNoTemporaryFiles) {
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(store_cached(machine(), llama7b(model_path_), OptimizationResult{}));
  }
  EXPECT_EQ(cache_files().size(), 1u);
}

TEST(TaskRuntime, RunsJobsAndReportsFaults) {
  auto rt = runtime();
  auto value = rt->spawn("answer", [] { return 42; });
  auto fault = rt->spawn("broken", []() -> int { throw std::runtime_error("boom"); });
  auto unnamed = rt->spawn("silent", []() -> int { throw 7; });
  EXPECT_EQ(value.join().value(), 42);
  EXPECT_EQ(fault.join().error().description, "task 'broken' panicked with message \"boom\"");
  EXPECT_EQ(unnamed.join().error().description, "task 'silent' panicked");
  rt->shutdown();
  auto late = rt->spawn("late", [] { return 1; });
  EXPECT_FALSE(late.join().has_value());
}

TEST(TaskRuntime, ShutdownWaitsForWorkInProgress) {
  auto rt = runtime();
  std::atomic<int> done{0};
  std::vector<JoinHandle<void>> handles;
  for (int i = 0; i < 6; ++i) {
    handles.push_back(rt->spawn("sleep", [&done] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ++done;
    }));
  }
  rt->shutdown();
  EXPECT_EQ(done.load(), 6);
}

}  // namespace
}  // namespace halvorn
