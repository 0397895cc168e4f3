// Hardware detection: the parsers of every source fed with tables of tool
// outputs and /proc texts, the control-group quota over small directory
// trees, the GPU step with fake vendor tools on PATH, and the catalogue.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "hardware/detect.hpp"
#include "hardware/gpu_catalogue.hpp"

namespace fs = std::filesystem;
using namespace halvorn;

namespace {

// Cases print as their label in failure messages.
template <class Case>
  requires requires(const Case& c) { c.label; }
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.label;
}

using Capability = std::pair<std::uint32_t, std::uint32_t>;

GpuInfo nvidia(std::string name, std::uint64_t vram, std::optional<Capability> cc) {
  return GpuInfo{std::move(name), vram, cc, GpuVendor::Nvidia};
}
GpuInfo amd(std::string name, std::uint64_t vram) {
  return GpuInfo{std::move(name), vram, std::nullopt, GpuVendor::Amd};
}

void expect_same_gpu(const std::optional<GpuInfo>& got, const std::optional<GpuInfo>& want) {
  ASSERT_EQ(got.has_value(), want.has_value());
  if (!want) return;
  EXPECT_EQ(got->name, want->name);
  EXPECT_EQ(got->vram_mb, want->vram_mb);
  EXPECT_EQ(got->compute_capability, want->compute_capability);
  EXPECT_EQ(got->vendor, want->vendor);
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "halvorn-hardware-XXXXXX").string();
    const char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = made;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void write_file(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

// --- nvidia-smi -------------------------------------------------------------

struct NvidiaCase {
  const char* label;
  std::string output;
  std::optional<GpuInfo> gpu;
};

class NvidiaSmiTest : public ::testing::TestWithParam<NvidiaCase> {};

TEST_P(NvidiaSmiTest, ReadsTheFirstLine) {
  expect_same_gpu(parse_nvidia_smi(GetParam().output), GetParam().gpu);
}

INSTANTIATE_TEST_SUITE_P(
    Hardware, NvidiaSmiTest,
    ::testing::Values(
        NvidiaCase{"Typical", "NVIDIA GeForce RTX 4090, 24564, 8.9\n",
                   nvidia("NVIDIA GeForce RTX 4090", 24564, Capability{8, 9})},
        NvidiaCase{"OnlyFirstOfTwoGpus",
                   "NVIDIA A100-SXM4-80GB, 81920, 8.0\r\nNVIDIA H100, 1, 9.0\r\n",
                   nvidia("NVIDIA A100-SXM4-80GB", 81920, Capability{8, 0})},
        NvidiaCase{"CapabilityNotAvailable", "Tesla K80, 11441, [N/A]",
                   nvidia("Tesla K80", 11441, std::nullopt)},
        NvidiaCase{"MemoryNotAvailable", "Tesla K80, [N/A], 3.7", std::nullopt},
        NvidiaCase{"NoOutput", "", std::nullopt},
        NvidiaCase{"FirstLineEmpty", "\nNVIDIA GeForce RTX 4090, 24564, 8.9\n", std::nullopt},
        NvidiaCase{"TwoFields", "NVIDIA GeForce RTX 4090, 24564", std::nullopt},
        NvidiaCase{"ExtraFieldsIgnored", "GPU,100,8.6,extra", nvidia("GPU", 100, Capability{8, 6})},
        NvidiaCase{"EmptyNameKept", " , 1024, 7.5", nvidia("", 1024, Capability{7, 5})},
        NvidiaCase{"PlusSign", "GPU, +512, 8.6", nvidia("GPU", 512, Capability{8, 6})},
        NvidiaCase{"NegativeMemory", "GPU, -1, 8.6", std::nullopt},
        NvidiaCase{"MemoryWithUnit", "GPU, 100 MiB, 8.6", std::nullopt},
        NvidiaCase{"LargestMemory", "GPU, 18446744073709551615, 8.6",
                   nvidia("GPU", 18446744073709551615ull, Capability{8, 6})},
        NvidiaCase{"MemoryOverflow", "GPU, 18446744073709551616, 8.6", std::nullopt},
        NvidiaCase{"CapabilityOnePiece", "GPU, 100, 9", nvidia("GPU", 100, std::nullopt)},
        NvidiaCase{"CapabilityThreePieces", "GPU, 100, 8.9.1", nvidia("GPU", 100, Capability{8, 9})},
        NvidiaCase{"CapabilityPiecesTrimmed", "GPU, 100, 8 . 9", nvidia("GPU", 100, Capability{8, 9})},
        NvidiaCase{"CapabilityMinorMissing", "GPU, 100, 8.", nvidia("GPU", 100, std::nullopt)},
        NvidiaCase{"CapabilityOverflow", "GPU, 100, 4294967296.0", nvidia("GPU", 100, std::nullopt)},
        NvidiaCase{"UnicodeSpacesTrimmed", "\xC2\xA0NVIDIA T4\xE2\x80\x83, 15360, 7.5",
                   nvidia("NVIDIA T4", 15360, Capability{7, 5})},
        NvidiaCase{"InvalidBytesReplaced", "\xFFGPU, 8, 8.9",
                   nvidia("\xEF\xBF\xBDGPU", 8, Capability{8, 9})}),
    [](const auto& info) { return std::string(info.param.label); });

// --- rocm-smi and amd-smi tables ---------------------------------------------

struct TableCase {
  const char* label;
  std::string output;
  std::optional<GpuInfo> rocm;
  std::optional<GpuInfo> amd_smi;
};

class GpuTableTest : public ::testing::TestWithParam<TableCase> {};

TEST_P(GpuTableTest, RocmSmi) { expect_same_gpu(parse_rocm_smi(GetParam().output), GetParam().rocm); }

TEST_P(GpuTableTest, AmdSmi) { expect_same_gpu(parse_amd_smi(GetParam().output), GetParam().amd_smi); }

INSTANTIATE_TEST_SUITE_P(
    Hardware, GpuTableTest,
    ::testing::Values(
        TableCase{"RocmBytes",
                  "device,Card series,VRAM Total Memory (B),VRAM Total Used Memory (B)\n"
                  "card0,Radeon RX 7900 XTX,25753026560,1000\n",
                  amd("Radeon RX 7900 XTX", 24560), std::nullopt},
        TableCase{"BytesTruncatedToMiB", "Product Name,VRAM Total Memory (B)\nMI210,17163091968\n",
                  amd("MI210", 16368), amd("MI210", 16368)},
        TableCase{"AlreadyMiB", "name,vram\nGPU,16368\n", amd("GPU", 16368), amd("GPU", 16368)},
        TableCase{"MillionIsStillMiB", "name,vram\nGPU,1000000\n", amd("GPU", 1000000),
                  amd("GPU", 1000000)},
        TableCase{"AboveMillionIsBytes", "name,vram\nGPU,1000001\n", amd("GPU", 0), amd("GPU", 0)},
        TableCase{"BlankLinesSkipped", "\n  \r\nname,vram\n\n \t \nGPU,512\nOther,1\n",
                  amd("GPU", 512), amd("GPU", 512)},
        TableCase{"HeaderCaseIgnored", "GPU NAME,VRAM_TOTAL\nMI300X,196592\n", amd("MI300X", 196592),
                  amd("MI300X", 196592)},
        TableCase{"FieldsTrimmed", "name , vram\n  Radeon Pro  ,  +8192 \r\n",
                  amd("Radeon Pro", 8192), amd("Radeon Pro", 8192)},
        // Column names that only one of the two tools accepts.
        TableCase{"CardColumnRocmOnly", "card,vram\ncard0,8192\n", amd("card0", 8192), std::nullopt},
        TableCase{"MemoryColumnRocmOnly", "name,memory\nGPU,8192\n", amd("GPU", 8192), std::nullopt},
        TableCase{"MemTotalAmdOnly", "name,mem_total\nGPU,8192\n", std::nullopt, amd("GPU", 8192)},
        TableCase{"FirstMatchingColumnWins", "gpu,name,vram_used,vram_total\n0,MI250,10,65520\n",
                  amd("MI250", 10), amd("MI250", 10)},
        TableCase{"NoMemoryColumn", "name,power\nGPU,300\n", std::nullopt, std::nullopt},
        TableCase{"NoNameColumn", "gpu,vram\n0,8192\n", std::nullopt, std::nullopt},
        TableCase{"HeaderOnly", "name,vram\n\n", std::nullopt, std::nullopt},
        TableCase{"Empty", "", std::nullopt, std::nullopt},
        TableCase{"RowTooShort", "vram,name\n8192\n", std::nullopt, std::nullopt},
        TableCase{"EmptyName", "name,vram\n  ,8192\n", std::nullopt, std::nullopt},
        TableCase{"MemoryNotANumber", "name,vram\nGPU,N/A\n", std::nullopt, std::nullopt},
        TableCase{"OnlyFirstDataRowRead", "name,vram\nGPU,N/A\nGPU,8192\n", std::nullopt,
                  std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

// --- /proc/meminfo -----------------------------------------------------------

struct MeminfoCase {
  const char* label;
  std::string text;
  std::optional<RamInfo> ram;
};

class MeminfoTest : public ::testing::TestWithParam<MeminfoCase> {};

TEST_P(MeminfoTest, GivesMiB) {
  const auto ram = ram_from_meminfo(GetParam().text);
  ASSERT_EQ(ram.has_value(), GetParam().ram.has_value());
  if (!ram) return;
  EXPECT_EQ(ram->total_mb, GetParam().ram->total_mb);
  EXPECT_EQ(ram->available_mb, GetParam().ram->available_mb);
}

INSTANTIATE_TEST_SUITE_P(
    Hardware, MeminfoTest,
    ::testing::Values(
        MeminfoCase{"Typical",
                    "MemTotal:       32768000 kB\nMemFree:         1000 kB\n"
                    "MemAvailable:   20480000 kB\n",
                    RamInfo{32000, 20000}},
        MeminfoCase{"NoAvailableLine", "MemTotal: 2048 kB\nMemFree: 1024 kB\n", RamInfo{2, 0}},
        MeminfoCase{"AvailableFirst", "MemAvailable: 1024 kB\r\nMemTotal: 4096 kB\r\n",
                    RamInfo{4, 1}},
        MeminfoCase{"RemaindersDropped", "MemTotal: 2047 kB\nMemAvailable: 1023 kB\n",
                    RamInfo{1, 0}},
        MeminfoCase{"NoTotal", "MemFree: 1 kB\nMemAvailable: 2048 kB\n", std::nullopt},
        MeminfoCase{"ValueGlued", "MemTotal:32768000 kB\n", std::nullopt},
        MeminfoCase{"BadValueThenGood", "MemTotal: lots kB\nMemTotal: 4096 kB\n", RamInfo{4, 0}},
        MeminfoCase{"BadAvailable", "MemTotal: 4096 kB\nMemAvailable: -5 kB\n", RamInfo{4, 0}},
        MeminfoCase{"Overflow", "MemTotal: 18446744073709551616 kB\n", std::nullopt},
        MeminfoCase{"KeyMustStartTheLine", " MemTotal: 4096 kB\nMemTotalX: 4096 kB\n",
                    std::nullopt},
        MeminfoCase{"Empty", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

// --- /proc/cpuinfo -----------------------------------------------------------

struct CpuinfoCase {
  const char* label;
  std::string text;
  std::optional<std::string> brand;
};

class CpuinfoTest : public ::testing::TestWithParam<CpuinfoCase> {};

TEST_P(CpuinfoTest, ReadsTheFirstModelNameLine) {
  EXPECT_EQ(parse_cpuinfo_brand(GetParam().text), GetParam().brand);
}

INSTANTIATE_TEST_SUITE_P(
    Hardware, CpuinfoTest,
    ::testing::Values(
        CpuinfoCase{"Typical",
                    "processor\t: 0\nvendor_id\t: GenuineIntel\n"
                    "model name\t: Intel(R) Xeon(R) CPU @ 2.20GHz\nmodel name\t: other\n",
                    "Intel(R) Xeon(R) CPU @ 2.20GHz"},
        CpuinfoCase{"EmptyAfterColon", "model name\t:\n", ""},
        CpuinfoCase{"FirstLineHasNoColon", "model name unknown\nmodel name : later\n",
                    std::nullopt},
        CpuinfoCase{"TextAfterFirstColon", "model name : A: B \r\n", "A: B"},
        CpuinfoCase{"LongerKeyStillMatches", "model names: x\n", "x"},
        CpuinfoCase{"CaseMatters", "Model name: x\n", std::nullopt},
        CpuinfoCase{"MustStartTheLine", " model name: x\n", std::nullopt},
        CpuinfoCase{"Absent", "processor : 0\n", std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

// --- CPUID -------------------------------------------------------------------

std::array<CpuidLeaf, 3> brand_leaves(const std::string& bytes) {
  std::string padded = bytes;
  padded.resize(48, '\0');
  std::array<CpuidLeaf, 3> leaves{};
  for (std::size_t r = 0; r < 12; ++r) {
    std::uint32_t value = 0;
    for (int k = 3; k >= 0; --k) value = (value << 8) | static_cast<unsigned char>(padded[r * 4 + k]);
    std::uint32_t* regs[] = {&leaves[r / 4].eax, &leaves[r / 4].ebx, &leaves[r / 4].ecx,
                             &leaves[r / 4].edx};
    *regs[r % 4] = value;
  }
  return leaves;
}

struct BrandCase {
  const char* label;
  std::string bytes;
  std::string brand;
};

class CpuidBrandTest : public ::testing::TestWithParam<BrandCase> {};

TEST_P(CpuidBrandTest, CutsAtNulAndTrims) {
  EXPECT_EQ(brand_from_cpuid(brand_leaves(GetParam().bytes)), GetParam().brand);
}

INSTANTIATE_TEST_SUITE_P(
    Hardware, CpuidBrandTest,
    ::testing::Values(
        BrandCase{"LeadingPadding", "       Intel(R) Xeon(R) Platinum 8480+", "Intel(R) Xeon(R) Platinum 8480+"},
        BrandCase{"TrailingSpaces", "AMD Ryzen 9 7950X 16-Core Processor          ",
                  "AMD Ryzen 9 7950X 16-Core Processor"},
        BrandCase{"CutAtFirstNul", std::string("AMD EPYC\0 ghost text", 20), "AMD EPYC"},
        BrandCase{"AllNul", "", ""},
        BrandCase{"OnlySpaces", "    ", ""},
        BrandCase{"FullLengthWithoutNul", std::string(48, 'x'), std::string(48, 'x')},
        BrandCase{"InvalidByteReplaced", "CPU \xFF", "CPU \xEF\xBF\xBD"}),
    [](const auto& info) { return std::string(info.param.label); });

struct SimdCase {
  const char* label;
  std::uint32_t max_leaf;
  std::uint32_t leaf1_ecx;
  std::uint32_t leaf7_ebx;
  SimdLevel level;
};

class SimdTest : public ::testing::TestWithParam<SimdCase> {};

TEST_P(SimdTest, DecodesTheFeatureBits) {
  const SimdCase& c = GetParam();
  EXPECT_EQ(simd_level_from_cpuid(c.max_leaf, c.leaf1_ecx, c.leaf7_ebx), c.level);
}

constexpr std::uint32_t kAvx = 1u << 28;
constexpr std::uint32_t kAvx2 = 1u << 5;
constexpr std::uint32_t kAvx512F = 1u << 16;
// AVX-512 DQ, CD, BW and VL: extensions that do not imply the foundation.
constexpr std::uint32_t kAvx512Others = (1u << 17) | (1u << 28) | (1u << 30) | (1u << 31);

INSTANTIATE_TEST_SUITE_P(
    Hardware, SimdTest,
    ::testing::Values(
        SimdCase{"Avx512", 7, kAvx, kAvx512F | kAvx2, SimdLevel::AVX512},
        SimdCase{"Avx512WithoutAvx2Bit", 0x1F, 0, kAvx512F, SimdLevel::AVX512},
        SimdCase{"Avx2", 0x16, kAvx, kAvx2, SimdLevel::AVX2},
        SimdCase{"Avx2WithOtherAvx512Extensions", 7, kAvx, kAvx2 | kAvx512Others, SimdLevel::AVX2},
        SimdCase{"AvxOnlyOnLeaf7Machine", 7, kAvx, 0, SimdLevel::AVX},
        SimdCase{"NothingOnLeaf7Machine", 13, ~kAvx, ~(kAvx2 | kAvx512F), SimdLevel::None},
        SimdCase{"Leaf7IgnoredBelow7", 6, kAvx, kAvx512F | kAvx2, SimdLevel::AVX},
        SimdCase{"Leaf7IgnoredBelow7NoAvx", 6, 0, kAvx512F, SimdLevel::None},
        SimdCase{"Leaf1Machine", 1, kAvx, 0, SimdLevel::AVX},
        SimdCase{"Leaf0Only", 0, kAvx, kAvx512F, SimdLevel::None}),
    [](const auto& info) { return std::string(info.param.label); });

// --- control-group quota -----------------------------------------------------

struct CgroupCase {
  const char* label;
  std::string cgroup;     // /proc/self/cgroup
  std::string mountinfo;  // /proc/self/mountinfo
  std::map<std::string, std::string> files;  // relative to the fake root
  std::optional<std::uint32_t> limit;
};

class CgroupTest : public ::testing::TestWithParam<CgroupCase> {};

TEST_P(CgroupTest, FindsTheGroupAndReadsItsQuota) {
  const CgroupCase& c = GetParam();
  TempDir root;
  write_file(root.path() / "proc/self/cgroup", c.cgroup);
  write_file(root.path() / "proc/self/mountinfo", c.mountinfo);
  for (const auto& [file, text] : c.files) write_file(root.path() / file, text);
  EXPECT_EQ(cgroup_cpu_limit(root.path()), c.limit);
}

const std::string kV2Mount =
    "30 23 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";
const std::string kV1Mounts =
    "25 24 0:22 / /sys/fs/cgroup/systemd rw - cgroup cgroup rw,xattr,name=systemd\n"
    "26 24 0:23 /docker/abc /sys/fs/cgroup/cpu,cpuacct rw shared:7 - cgroup cgroup "
    "rw,cpu,cpuacct\n"
    "27 24 0:24 / /sys/fs/cgroup/cpuset rw - cgroup cgroup rw,cpuset\n";
const std::string kV1Groups = "3:cpuset:/\n2:cpu,cpuacct:/docker/abc\n1:name=systemd:/init\n";

INSTANTIATE_TEST_SUITE_P(
    Hardware, CgroupTest,
    ::testing::Values(
        CgroupCase{"V2Quota", "0::/app.slice/job\n", kV2Mount,
                   {{"sys/fs/cgroup/app.slice/job/cpu.max", "200000 100000\n"}}, 2},
        CgroupCase{"V2RoundsUp", "0::/job\n", kV2Mount,
                   {{"sys/fs/cgroup/job/cpu.max", "150000 100000\n"}}, 2},
        CgroupCase{"V2BelowOneCpu", "0::/job\n", kV2Mount,
                   {{"sys/fs/cgroup/job/cpu.max", "50000 100000\n"}}, 1},
        CgroupCase{"V2NoQuota", "0::/job\n", kV2Mount,
                   {{"sys/fs/cgroup/job/cpu.max", "max 100000\n"}}, std::nullopt},
        CgroupCase{"V2Garbage", "0::/job\n", kV2Mount,
                   {{"sys/fs/cgroup/job/cpu.max", "lots\n"}}, std::nullopt},
        CgroupCase{"V2ZeroPeriod", "0::/job\n", kV2Mount,
                   {{"sys/fs/cgroup/job/cpu.max", "100000 0\n"}}, std::nullopt},
        CgroupCase{"V2HugeQuotaSaturates", "0::/job\n", kV2Mount,
                   {{"sys/fs/cgroup/job/cpu.max", "18446744073709551615 1\n"}}, 4294967295u},
        CgroupCase{"V2MountOfSubtree", "0::/kubepods/pod1/c1\n",
                   "40 30 0:26 /kubepods/pod1 /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
                   {{"sys/fs/cgroup/c1/cpu.max", "400000 100000\n"}}, 4},
        CgroupCase{"V2MountNotHoldingTheGroup", "0::/elsewhere\n",
                   "40 30 0:26 /kubepods /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
                   {{"sys/fs/cgroup/cpu.max", "100000 100000\n"}}, std::nullopt},
        CgroupCase{"V2EscapedMountPoint", "0::/\n",
                   "40 30 0:26 / /cg\\040root rw - cgroup2 cgroup2 rw\n",
                   {{"cg root/cpu.max", "300000 100000\n"}}, 3},
        CgroupCase{"V1Quota", kV1Groups, kV1Mounts,
                   {{"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "250000\n"},
                    {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
                   3},
        CgroupCase{"V1NoQuota", kV1Groups, kV1Mounts,
                   {{"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n"},
                    {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
                   std::nullopt},
        CgroupCase{"V1MissingPeriod", kV1Groups, kV1Mounts,
                   {{"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "250000\n"}}, std::nullopt},
        CgroupCase{"HybridFallsBackToV1", kV1Groups + "0::/init\n", kV1Mounts + kV2Mount,
                   {{"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "100000\n"},
                    {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
                   1},
        CgroupCase{"CpuacctIsNotCpu", "2:cpuacct:/\n",
                   "26 24 0:23 / /sys/fs/cgroup/cpuacct rw - cgroup cgroup rw,cpuacct\n",
                   {{"sys/fs/cgroup/cpuacct/cpu.cfs_quota_us", "100000\n"},
                    {"sys/fs/cgroup/cpuacct/cpu.cfs_period_us", "100000\n"}},
                   std::nullopt},
        CgroupCase{"NoFiles", "0::/job\n", kV2Mount, {}, std::nullopt},
        CgroupCase{"GarbageTables", "no colons here\n::\n0:\n", "1 2\n - \n - cgroup2\n",
                   {{"cpu.max", "100000 100000\n"}}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Hardware, CgroupWithoutProcFilesHasNoLimit) {
  TempDir root;
  EXPECT_EQ(cgroup_cpu_limit(root.path()), std::nullopt);
}

// --- CPU count ---------------------------------------------------------------

TEST(Hardware, CoreCountFollowsTheAffinityMask) {
  cpu_set_t mine;
  CPU_ZERO(&mine);
  ASSERT_EQ(sched_getaffinity(0, sizeof mine, &mine), 0);
  int first = 0;
  while (!CPU_ISSET(first, &mine)) ++first;

  std::uint32_t pinned_count = 0;
  std::thread worker([&] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    if (pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0) {
      pinned_count = detect_core_count();
    }
  });
  worker.join();
  EXPECT_EQ(pinned_count, 1u);
  EXPECT_LE(detect_core_count(), static_cast<std::uint32_t>(CPU_COUNT(&mine)));
  EXPECT_GE(detect_core_count(), 1u);
}

// --- the GPU step with fake vendor tools --------------------------------------

// Each fake tool insists on its exact command line and otherwise fails.
struct FakeTools {
  const char* label;
  const char* nvidia;  // body run after the argument check; nullptr: no such tool
  const char* rocm;
  const char* amd;
  std::optional<GpuInfo> gpu;
};

class DetectGpuTest : public ::testing::TestWithParam<FakeTools> {};

void write_tool(const fs::path& dir, const char* name, const char* expected_args,
                const char* body) {
  if (body == nullptr) return;
  const fs::path file = dir / name;
  write_file(file, std::string("#!/bin/sh\n[ \"$*\" = \"") + expected_args +
                       "\" ] || { echo \"bad arguments: $*\" >&2; exit 64; }\n" + body + "\n");
  fs::permissions(file, fs::perms::owner_all);
}

TEST_P(DetectGpuTest, TriesNvidiaThenRocmThenAmd) {
  const FakeTools& c = GetParam();
  TempDir dir;
  write_tool(dir.path(), "nvidia-smi",
             "--query-gpu=name,memory.total,compute_cap --format=csv,noheader,nounits", c.nvidia);
  write_tool(dir.path(), "rocm-smi", "--showproductname --showmeminfo vram --csv", c.rocm);
  write_tool(dir.path(), "amd-smi", "monitor --gpu --csv", c.amd);

  const char* old = std::getenv("PATH");
  const std::string saved = old ? old : "";
  ::setenv("PATH", dir.path().c_str(), 1);
  const auto gpu = detect_gpu();
  ::setenv("PATH", saved.c_str(), 1);
  expect_same_gpu(gpu, c.gpu);
}

INSTANTIATE_TEST_SUITE_P(
    Hardware, DetectGpuTest,
    ::testing::Values(
        FakeTools{"NoTools", nullptr, nullptr, nullptr, std::nullopt},
        FakeTools{"Nvidia", "printf 'NVIDIA A100-SXM4-80GB, 81920, 8.0\\nNVIDIA A100, 1, 8.0\\n'",
                  "printf 'name,vram\\nMI300X,196592\\n'", nullptr,
                  nvidia("NVIDIA A100-SXM4-80GB", 81920, Capability{8, 0})},
        FakeTools{"NvidiaWithoutDriverFallsToRocm",
                  "echo 'NVIDIA-SMI has failed' \nprintf 'GPU, 1, 8.0\\n'\nexit 9",
                  "printf 'device,Card series,VRAM Total Memory (B)\\ncard0,MI210,17163091968\\n'",
                  nullptr, amd("MI210", 16368)},
        FakeTools{"NvidiaWithoutMemoryFallsToAmd", "printf 'Tesla K80, [N/A], 3.7\\n'", "exit 1",
                  "printf 'gpu,name,vram_total\\n0,MI300X,196592\\n'", amd("MI300X", 196592)},
        FakeTools{"RocmUnreadableFallsToAmd", nullptr, "printf 'nothing useful\\n'",
                  "printf 'gpu,name,mem_total\\n0,MI250,65520\\n'", amd("MI250", 65520)},
        FakeTools{"AllFail", "exit 9", "exit 2", "kill -KILL $$", std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

// --- the whole detection -----------------------------------------------------

TEST(Hardware, DetectionDescribesThisMachine) {
  const HardwareProfile profile = detect_hardware();
  EXPECT_GE(profile.cpu.core_count, 1u);
  EXPECT_GT(profile.ram.total_mb, 0u);
  EXPECT_LE(profile.ram.available_mb, profile.ram.total_mb);
}

// --- GPU catalogue -----------------------------------------------------------

struct CatalogueCase {
  const char* label;
  std::string text;
  std::optional<GpuInfo> gpu;  // nullopt with an empty error: no GPU
  std::string error;
};

class CatalogueTest : public ::testing::TestWithParam<CatalogueCase> {};

TEST_P(CatalogueTest, NormalisesAndLooksUp) {
  const CatalogueCase& c = GetParam();
  const auto found = lookup_gpu(c.text);
  if (!c.error.empty()) {
    ASSERT_FALSE(found.has_value());
    EXPECT_EQ(found.error().text(), c.error);
    return;
  }
  ASSERT_TRUE(found.has_value()) << found.error().text();
  expect_same_gpu(*found, c.gpu);
}

std::string unknown(const std::string& normalised) {
  return "Unknown GPU model: '" + normalised +
         "'. Try: 4090, 4080, 3090, 3080, 3070, 2080ti, a100, h100, or 'cpu'";
}

const GpuInfo k4090 = nvidia("NVIDIA GeForce RTX 4090", 24576, Capability{8, 9});
const GpuInfo k4070Ti = nvidia("NVIDIA GeForce RTX 4070 Ti", 12288, Capability{8, 9});

INSTANTIATE_TEST_SUITE_P(
    Hardware, CatalogueTest,
    ::testing::Values(
        CatalogueCase{"Bare", "4090", k4090, ""},
        CatalogueCase{"WithPrefix", "RTX 4090", k4090, ""},
        CatalogueCase{"Spaced", "RTX 4070 Ti", k4070Ti, ""},
        CatalogueCase{"Hyphenated", "rtx-4070-ti", k4070Ti, ""},
        CatalogueCase{"UpperGlued", "RTX4070TI", k4070Ti, ""},
        CatalogueCase{"NumberAndSuffix", "4070 Ti", k4070Ti, ""},
        CatalogueCase{"NotTheTi", "4070", nvidia("NVIDIA GeForce RTX 4070", 12288, Capability{8, 9}), ""},
        CatalogueCase{"Turing", "2080ti", nvidia("NVIDIA GeForce RTX 2080 Ti", 11264, Capability{7, 5}), ""},
        CatalogueCase{"Ampere3060", "rtx3060", nvidia("NVIDIA GeForce RTX 3060", 12288, Capability{8, 6}), ""},
        CatalogueCase{"A10G", "A10G", nvidia("NVIDIA A10G", 24576, Capability{8, 6}), ""},
        CatalogueCase{"A100", "a100", nvidia("NVIDIA A100", 81920, Capability{8, 0}), ""},
        CatalogueCase{"H100", "H-100", nvidia("NVIDIA H100", 81920, Capability{9, 0}), ""},
        CatalogueCase{"Cpu", "CPU", std::nullopt, ""},
        CatalogueCase{"CpuSpaced", " c-p u ", std::nullopt, ""},
        CatalogueCase{"Empty", "", std::nullopt, ""},
        CatalogueCase{"OnlySpaceAndHyphen", " - ", std::nullopt, ""},
        CatalogueCase{"A10", "a10", std::nullopt, unknown("a10")},
        CatalogueCase{"Underscore", "rtx_4090", std::nullopt, unknown("rtx_4090")},
        CatalogueCase{"NotInTable", "RTX 4060", std::nullopt, unknown("rtx4060")},
        CatalogueCase{"VendorWords", "GeForce RTX 4090", std::nullopt, unknown("geforcertx4090")},
        CatalogueCase{"TabStays", "4090\t", std::nullopt, unknown("4090\t")},
        CatalogueCase{"DotStays", "rtx4090.", std::nullopt, unknown("rtx4090.")},
        CatalogueCase{"NoBreakSpaceStays", "RTX\xC2\xA0" "4090", std::nullopt,
                      unknown("rtx\xC2\xA0" "4090")},
        // Full Unicode lower-casing shows in the message.
        CatalogueCase{"LatinAndCyrillic", "ÀÉÎ ĲŸ ДЖЯ", std::nullopt, unknown("àéîĳÿджя")},
        CatalogueCase{"DottedCapitalI", "İ", std::nullopt, unknown("i\xCC\x87")},
        CatalogueCase{"FinalSigma", "ΣΟΦΟΣ Σ", std::nullopt, unknown("σοφοςσ")},
        CatalogueCase{"FullwidthLetters", "ＲＴＸ", std::nullopt, unknown("ｒｔｘ")},
        CatalogueCase{"InvalidBytes", "4090\xFF", std::nullopt, unknown("4090\xEF\xBF\xBD")}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
