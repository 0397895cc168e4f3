// Running external programs: started by name through PATH (or by a path),
// never through a shell, always waited for, all our descriptors
// close-on-exec.  Both output pipes are drained together with one poll loop
// so neither can fill up and deadlock the child.
//
// Every function here is safe to call from several threads at once: nothing
// is shared between calls, children are started with posix_spawn (no fork of
// a multi-threaded process), and SIGPIPE is only ever blocked for the
// calling thread, never changed process-wide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace halvorn {

// How a child ended: an exit code, or the signal that killed it.
struct ExitStatus {
  std::optional<int> code;  // absent when a signal ended the program
  int signal = 0;

  bool success() const noexcept { return code && *code == 0; }
  // "Some(3)" for an exit code, "None" when a signal ended the program.
  std::string describe_code() const;
};

// Decodes a raw status word of waitpid.  The one place that does so.
ExitStatus decode_wait_status(int raw) noexcept;

struct CapturedRun {
  ExitStatus status;
  std::string out;  // raw bytes of standard output
  std::string err;  // raw bytes of standard error
};

// What is kept of each output stream at most.  A child that prints more is
// still drained to its end and waited for (so it never blocks on a full
// pipe), and the run then fails instead of holding unbounded memory.
inline constexpr std::size_t kMaxCapturedBytes = std::size_t{256} << 20;

// Which step of a run failed.  Callers that word a failure to start
// differently from a failure while running ask for it.
enum class RunStep : std::uint8_t {
  Start,       // the program could not be started
  WriteInput,  // writing standard input failed (other than the child not reading)
  Wait,        // collecting the outputs or waiting for the exit failed
};

struct RunFailure {
  RunStep step;
  Error error;  // the operating system's text, undecorated
};

// Full path of an executable regular file found for `name` (see PATH rules),
// or nothing.
std::optional<std::string> find_in_path(std::string_view name);

// The user's home directory: HOME when set and not empty, else the account
// database's entry for the current user; nothing without either.
std::optional<std::string> home_directory();

// Runs `program` (a name looked up in PATH, or a path) with `args`, standard
// input empty, both outputs captured.  Fails only when the program cannot be
// started or its outputs cannot be collected; the error's text is the
// operating system's.
Result<CapturedRun> run_and_capture(const std::string& program,
                                    const std::vector<std::string>& args,
                                    std::size_t max_stream_bytes = kMaxCapturedBytes);

// As run_and_capture, but `input` is written to the program's standard input,
// which is then closed.  The input is fed while the outputs are drained, so a
// child that answers before reading everything cannot deadlock us; a child
// that exits without reading its input is not an error (its exit status and
// outputs tell the story).
Result<CapturedRun> run_with_input(const std::string& program,
                                   const std::vector<std::string>& args, std::string_view input,
                                   std::size_t max_stream_bytes = kMaxCapturedBytes);

// The same run, telling which step failed.
std::expected<CapturedRun, RunFailure> run_with_input_steps(
    const std::string& program, const std::vector<std::string>& args, std::string_view input,
    std::size_t max_stream_bytes = kMaxCapturedBytes);

// Runs with the caller's standard input, output and error.
Result<ExitStatus> run_inherited(const std::string& program, const std::vector<std::string>& args);

// Bytes decoded as UTF-8 (invalid sequences replaced), then trimmed.
std::string output_text(std::string_view bytes);

}  // namespace halvorn
