// Process helpers against tiny child programs that each test writes into a
// temporary directory: streams large enough to deadlock a naive reader, exit
// codes, signals, input echo, missing programs and the PATH lookup rules.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/process/process.hpp"

namespace fs = std::filesystem;
using namespace halvorn;

namespace {

// Cases print as their label in failure messages.
template <class Case>
  requires requires(const Case& c) { c.label; }
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.label;
}

constexpr std::size_t kMiB = 1 << 20;

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "halvorn-process-XXXXXX").string();
    const char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = fs::canonical(made);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void write_file(const fs::path& file, const std::string& text, fs::perms mode) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
  fs::permissions(file, mode);
}

// A shell script child; the shell is only ever the child, never our launcher.
std::string write_script(const fs::path& dir, const std::string& name, const std::string& body) {
  const fs::path file = dir / name;
  write_file(file, "#!/bin/sh\n" + body + "\n", fs::perms::owner_all);
  return file.string();
}

// Sets or unsets an environment variable for one test, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnv() { set(old_); }

 private:
  void set(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  const char* name_;
  std::optional<std::string> old_;
};

class ScopedCwd {
 public:
  explicit ScopedCwd(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
  ~ScopedCwd() { fs::current_path(old_); }

 private:
  fs::path old_;
};

bool all_bytes_are(const std::string& text, char c) {
  return text.find_first_not_of(c) == std::string::npos;
}

// --- capture: streams, exit codes, signals -------------------------------

struct CaptureCase {
  const char* label;
  const char* body;
  std::size_t out_size;
  char out_fill;
  std::size_t err_size;
  char err_fill;
  std::optional<int> code;
  int signal;
  const char* described;
};

class CaptureTest : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(CaptureTest, CollectsBothStreamsAndDecodesTheEnd) {
  const CaptureCase& c = GetParam();
  TempDir dir;
  const std::string child = write_script(dir.path(), "child", c.body);

  const auto run = run_and_capture(child, {});
  ASSERT_TRUE(run.has_value()) << run.error().text();
  EXPECT_EQ(run->out.size(), c.out_size);
  EXPECT_TRUE(all_bytes_are(run->out, c.out_fill));
  EXPECT_EQ(run->err.size(), c.err_size);
  EXPECT_TRUE(all_bytes_are(run->err, c.err_fill));
  EXPECT_EQ(run->status.code, c.code);
  EXPECT_EQ(run->status.signal, c.signal);
  EXPECT_EQ(run->status.success(), c.code == 0);
  EXPECT_EQ(run->status.describe_code(), c.described);
}

// Writing a whole MiB to one stream before touching the other blocks the
// child on a full pipe unless both are drained together; both orders are
// tried so a reader that favours either stream would hang here.
INSTANTIATE_TEST_SUITE_P(
    Process, CaptureTest,
    ::testing::Values(
        CaptureCase{"OutThenErr",
                    "head -c 1048576 /dev/zero\nhead -c 1048576 /dev/zero | tr '\\000' e >&2",
                    kMiB, '\0', kMiB, 'e', 0, 0, "Some(0)"},
        CaptureCase{"ErrThenOut",
                    "head -c 1048576 /dev/zero | tr '\\000' e >&2\nhead -c 1048576 /dev/zero",
                    kMiB, '\0', kMiB, 'e', 0, 0, "Some(0)"},
        CaptureCase{"Silent", "exit 0", 0, 'x', 0, 'x', 0, 0, "Some(0)"},
        CaptureCase{"ExitCode", "printf xx\nexit 3", 2, 'x', 0, 'x', 3, 0, "Some(3)"},
        CaptureCase{"HighExitCode", "exit 255", 0, 'x', 0, 'x', 255, 0, "Some(255)"},
        CaptureCase{"KilledBySignal", "printf ee >&2\nkill -KILL $$", 0, 'x', 2, 'e',
                    std::nullopt, SIGKILL, "None"},
        CaptureCase{"TerminatedBySignal", "kill -TERM $$", 0, 'x', 0, 'x', std::nullopt,
                    SIGTERM, "None"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Process, ArgumentsReachTheChildVerbatimWithoutAShell) {
  TempDir dir;
  const std::string child = write_script(dir.path(), "args", "printf '%s|' \"$0\" \"$@\"");
  const std::vector<std::string> args = {"a b", "", "*", "$HOME", "x;y", "'q'"};
  const auto run = run_and_capture(child, args);
  ASSERT_TRUE(run.has_value()) << run.error().text();
  EXPECT_EQ(run->out, child + "|a b||*|$HOME|x;y|'q'|");
}

TEST(Process, ChildInheritsTheEnvironment) {
  TempDir dir;
  ScopedEnv var("HALVORN_PROCESS_TEST", "inherited value");
  const auto run = run_and_capture(
      write_script(dir.path(), "env", "printf %s \"$HALVORN_PROCESS_TEST\""), {});
  ASSERT_TRUE(run.has_value()) << run.error().text();
  EXPECT_EQ(run->out, "inherited value");
}

TEST(Process, StandardInputIsEmptyForCapture) {
  // `cat` ends only on end of file, so a missing or held-open input hangs.
  const auto run = run_and_capture("cat", {});
  ASSERT_TRUE(run.has_value()) << run.error().text();
  EXPECT_TRUE(run->out.empty());
  EXPECT_TRUE(run->status.success());
}

TEST(Process, ProgramsAreFoundThroughPath) {
  TempDir dir;
  write_script(dir.path() / "bin", "halvorn-hello", "printf hello");
  ScopedEnv path("PATH", (dir.path() / "bin").string() + ":/usr/bin:/bin");
  const auto run = run_and_capture("halvorn-hello", {});
  ASSERT_TRUE(run.has_value()) << run.error().text();
  EXPECT_EQ(run->out, "hello");
}

TEST(Process, ThreeRunsAtOnceKeepTheirOwnStreams) {
  TempDir dir;
  std::vector<std::string> children;
  for (char c : {'a', 'b', 'c'}) {
    children.push_back(write_script(
        dir.path(), std::string("child-") + c,
        std::string("head -c 1048576 /dev/zero | tr '\\000' ") + c +
            "\nhead -c 65536 /dev/zero | tr '\\000' " + c + " >&2"));
  }
  std::vector<Result<CapturedRun>> results(children.size(), fail("not run"));
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < children.size(); ++i) {
    threads.emplace_back([&, i] { results[i] = run_and_capture(children[i], {}); });
  }
  for (auto& t : threads) t.join();
  const char fills[] = {'a', 'b', 'c'};
  for (std::size_t i = 0; i < results.size(); ++i) {
    ASSERT_TRUE(results[i].has_value()) << results[i].error().text();
    EXPECT_EQ(results[i]->out.size(), kMiB);
    EXPECT_TRUE(all_bytes_are(results[i]->out, fills[i]));
    EXPECT_EQ(results[i]->err.size(), 65536u);
    EXPECT_TRUE(all_bytes_are(results[i]->err, fills[i]));
  }
}

// --- the output ceiling ---------------------------------------------------

struct LimitCase {
  const char* label;
  const char* body;
  const char* error;  // nullptr: the run succeeds
};

class OutputLimitTest : public ::testing::TestWithParam<LimitCase> {};

TEST_P(OutputLimitTest, OutputBeyondTheLimitFailsAfterTheChildIsDrained) {
  const LimitCase& c = GetParam();
  TempDir dir;
  const auto run = run_and_capture(write_script(dir.path(), "child", c.body), {}, 1000);
  if (c.error == nullptr) {
    ASSERT_TRUE(run.has_value()) << run.error().text();
    EXPECT_EQ(run->out.size() + run->err.size(), 1000u);
  } else {
    ASSERT_FALSE(run.has_value());
    EXPECT_EQ(run.error().text(), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Process, OutputLimitTest,
    ::testing::Values(LimitCase{"ExactlyAtLimit", "head -c 1000 /dev/zero", nullptr},
                      LimitCase{"OutputOver", "head -c 1048576 /dev/zero",
                                "standard output exceeds 1000 bytes"},
                      LimitCase{"ErrorOver", "head -c 1001 /dev/zero >&2",
                                "standard error exceeds 1000 bytes"}),
    [](const auto& info) { return std::string(info.param.label); });

// --- standard input -------------------------------------------------------

TEST(Process, InputIsEchoedWhileOutputIsDrained) {
  // 4 MiB through `cat` overflows both pipes many times over: writing all
  // input before reading any output would deadlock.
  std::string input(4 * kMiB, '\0');
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>(i * 7 % 251);
  const auto run = run_with_input("cat", {}, input);
  ASSERT_TRUE(run.has_value()) << run.error().text();
  EXPECT_TRUE(run->status.success());
  EXPECT_TRUE(run->out == input);
  EXPECT_TRUE(run->err.empty());
}

TEST(Process, InputIsClosedAfterWriting) {
  TempDir dir;
  const std::string child =
      write_script(dir.path(), "count", "n=$(wc -c)\nprintf '%s' \"$n\" | tr -d ' '");
  const auto run = run_with_input(child, {}, "twelve bytes");
  ASSERT_TRUE(run.has_value()) << run.error().text();
  EXPECT_EQ(run->out, "12");
}

bool sigpipe_blocked_or_pending() {
  sigset_t mask;
  sigemptyset(&mask);
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  return sigismember(&mask, SIGPIPE) == 1 || sigismember(&pending, SIGPIPE) == 1;
}

TEST(Process, ChildThatNeverReadsItsInputIsNoFailure) {
  // This test process keeps the default SIGPIPE action: a write into the
  // closed pipe that raised it unblocked would kill the whole test binary.
  ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
  TempDir dir;
  const std::string child = write_script(dir.path(), "deaf", "exec 0<&-\nprintf done\nexit 5");
  const std::string input(8 * kMiB, 'i');
  const auto run = run_with_input_steps(child, {}, input);
  ASSERT_TRUE(run.has_value()) << run.error().error.text();
  EXPECT_EQ(run->out, "done");
  EXPECT_EQ(run->status.code, 5);
  EXPECT_FALSE(sigpipe_blocked_or_pending());
}

// --- programs that cannot be started --------------------------------------

struct StartFailureCase {
  const char* label;
  const char* program;  // relative names are placed in the temp directory
  const char* error;
};

class StartFailureTest : public ::testing::TestWithParam<StartFailureCase> {};

TEST_P(StartFailureTest, EveryHelperReportsTheOperatingSystemText) {
  const StartFailureCase& c = GetParam();
  TempDir dir;
  write_file(dir.path() / "not-executable", "#!/bin/sh\nexit 0\n", fs::perms::owner_read);
  fs::create_directory(dir.path() / "a-directory");
  std::string program = c.program;
  if (program.starts_with("./")) program = (dir.path() / program.substr(2)).string();

  const auto captured = run_and_capture(program, {"x"});
  ASSERT_FALSE(captured.has_value());
  EXPECT_EQ(captured.error().text(), c.error);

  const auto fed = run_with_input_steps(program, {}, "input");
  ASSERT_FALSE(fed.has_value());
  EXPECT_EQ(fed.error().step, RunStep::Start);
  EXPECT_EQ(fed.error().error.text(), c.error);

  const auto inherited = run_inherited(program, {});
  ASSERT_FALSE(inherited.has_value());
  EXPECT_EQ(inherited.error().text(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Process, StartFailureTest,
    ::testing::Values(
        StartFailureCase{"MissingName", "halvorn-no-such-program", "No such file or directory"},
        StartFailureCase{"MissingPath", "./nothing-here", "No such file or directory"},
        StartFailureCase{"EmptyName", "", "No such file or directory"},
        StartFailureCase{"NotExecutable", "./not-executable", "Permission denied"},
        StartFailureCase{"Directory", "./a-directory", "Permission denied"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Process, NulInsideAnArgumentIsRefused) {
  const auto run = run_and_capture("true", {std::string("a\0b", 3)});
  ASSERT_FALSE(run.has_value());
  EXPECT_EQ(run.error().text(), "Invalid argument");
}

// --- inherited streams ----------------------------------------------------

TEST(Process, InheritedRunWritesToOurOwnStandardOutput) {
  TempDir dir;
  const std::string child = write_script(dir.path(), "say", "printf 'to the terminal'\nexit 7");
  const fs::path sink = dir.path() / "stdout.txt";

  // Point our descriptor 1 at a file for the duration of the run.
  std::fflush(stdout);
  const int saved = ::dup(1);
  ASSERT_GE(saved, 0);
  const int file = ::open(sink.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(file, 0);
  ::dup2(file, 1);
  ::close(file);
  const auto status = run_inherited(child, {});
  ::dup2(saved, 1);
  ::close(saved);

  ASSERT_TRUE(status.has_value()) << status.error().text();
  EXPECT_EQ(status->code, 7);
  std::ifstream in(sink);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, "to the terminal");
}

// --- output_text ----------------------------------------------------------

struct TextCase {
  std::string bytes;
  std::string text;
};

class OutputTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(OutputTextTest, DecodesAndTrims) {
  EXPECT_EQ(output_text(GetParam().bytes), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Process, OutputTextTest,
    ::testing::Values(TextCase{"", ""}, TextCase{"  \t\r\n", ""},
                      TextCase{"\n error: boom \n", "error: boom"},
                      // U+00A0 and U+3000 are white space too.
                      TextCase{"\xC2\xA0x y\xE3\x80\x80", "x y"},
                      // One replacement per maximal invalid subsequence.
                      TextCase{"a\xFF\xE2\x82z ", "a\xEF\xBF\xBD\xEF\xBF\xBDz"},
                      TextCase{std::string("in\0side", 7), std::string("in\0side", 7)}));

// --- find_in_path ---------------------------------------------------------

// The tree every lookup case runs in:
//   noexec/prog   a regular file without execute permission
//   isdir/prog/   a directory
//   exec/prog     an executable; exec/link -> prog; exec/dangling -> nowhere
//   home/bin/prog, home/top  executables under the home directory
struct LookupCase {
  const char* label;
  std::optional<std::string> path;  // "{T}" stands for the tree; nullopt: unset
  const char* name;                 // "{T}" likewise
  const char* cwd;                  // relative to the tree
  std::optional<std::string> found; // relative to the tree; nullopt: not found
};

std::string expand(std::string text, const fs::path& tree) {
  for (std::size_t at = text.find("{T}"); at != std::string::npos; at = text.find("{T}")) {
    text.replace(at, 3, tree.string());
  }
  return text;
}

class FindInPathTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(FindInPathTest, FollowsThePathRules) {
  const LookupCase& c = GetParam();
  TempDir dir;
  const fs::path& t = dir.path();
  write_file(t / "noexec" / "prog", "#!/bin/sh\n", fs::perms::owner_read | fs::perms::owner_write);
  fs::create_directories(t / "isdir" / "prog");
  write_file(t / "exec" / "prog", "#!/bin/sh\n", fs::perms::owner_all);
  fs::create_symlink("prog", t / "exec" / "link");
  fs::create_symlink("missing", t / "exec" / "dangling");
  write_file(t / "home" / "bin" / "prog", "#!/bin/sh\n", fs::perms::owner_all);
  write_file(t / "home" / "top", "#!/bin/sh\n", fs::perms::owner_all);

  ScopedEnv home("HOME", (t / "home").string());
  ScopedEnv path("PATH", c.path ? std::optional(expand(*c.path, t)) : std::nullopt);
  ScopedCwd cwd(t / c.cwd);

  const auto found = find_in_path(expand(c.name, t));
  if (c.found) {
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(fs::path(*found), t / *c.found);
  } else {
    EXPECT_EQ(found, std::nullopt);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Process, FindInPathTest,
    ::testing::Values(
        LookupCase{"MissingEntryFirst", "/nonexistent:{T}/exec", "prog", ".", "exec/prog"},
        LookupCase{"NonExecutableSkipped", "{T}/noexec:{T}/exec", "prog", ".", "exec/prog"},
        LookupCase{"DirectorySkipped", "{T}/isdir:{T}/exec", "prog", ".", "exec/prog"},
        LookupCase{"NothingUsable", "{T}/noexec:{T}/isdir", "prog", ".", std::nullopt},
        LookupCase{"TrailingSlashEntry", "{T}/exec/", "prog", ".", "exec/prog"},
        LookupCase{"SymlinkFollowed", "{T}/exec", "link", ".", "exec/link"},
        LookupCase{"DanglingSymlink", "{T}/exec", "dangling", ".", std::nullopt},
        LookupCase{"EmptyEntryIsCwd", "/nonexistent::", "prog", "exec", "exec/prog"},
        LookupCase{"EmptyPathIsCwd", "", "prog", "exec", "exec/prog"},
        LookupCase{"TildeEntry", "~/bin", "prog", ".", "home/bin/prog"},
        LookupCase{"TildeOnly", "/nonexistent:~", "top", ".", "home/top"},
        LookupCase{"TildeUserNotExpanded", "~home/bin", "prog", ".", std::nullopt},
        LookupCase{"TildeNotFirst", "{T}/~/bin", "prog", ".", std::nullopt},
        LookupCase{"PathUnset", std::nullopt, "prog", "exec", std::nullopt},
        LookupCase{"AbsoluteName", std::nullopt, "{T}/exec/prog", ".", "exec/prog"},
        LookupCase{"AbsoluteNotExecutable", "{T}/exec", "{T}/noexec/prog", ".", std::nullopt},
        LookupCase{"RelativeName", "/nonexistent", "exec/prog", ".", "exec/prog"},
        LookupCase{"RelativeNameNotInPath", "{T}", "noexec/prog", ".", std::nullopt},
        LookupCase{"EmptyName", "{T}/exec", "", ".", std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
