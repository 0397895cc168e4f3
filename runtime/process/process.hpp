// Running external programs: started by name through PATH (or by a path),
// never through a shell, always waited for, all our descriptors
// close-on-exec.  Both output pipes are drained together with one poll loop
// so neither can fill up and deadlock the child.
#pragma once

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

struct CapturedRun {
  ExitStatus status;
  std::string out;  // raw bytes of standard output
  std::string err;  // raw bytes of standard error
};

// Full path of an executable regular file found for `name` (see PATH rules),
// or nothing.
std::optional<std::string> find_in_path(std::string_view name);

// Runs `program` (a name looked up in PATH, or a path) with `args`, standard
// input empty, both outputs captured.  Fails only when the program cannot be
// started; the error's text is the operating system's.
Result<CapturedRun> run_and_capture(const std::string& program,
                                    const std::vector<std::string>& args);

// As run_and_capture, but `input` is written to the program's standard input,
// which is then closed.
Result<CapturedRun> run_with_input(const std::string& program,
                                   const std::vector<std::string>& args, std::string_view input);

// Runs with the caller's standard input, output and error.
Result<ExitStatus> run_inherited(const std::string& program, const std::vector<std::string>& args);

// Bytes decoded as UTF-8 (invalid sequences replaced), then trimmed.
std::string output_text(std::string_view bytes);

}  // namespace halvorn
