// Starting one child with posix_spawnp and reaping it.  Internal to the
// process helpers.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "core/error.hpp"
#include "runtime/process/process.hpp"
#include "runtime/process/unique_fd.hpp"

namespace halvorn {

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

// A pipe with both ends close-on-exec and numbered 3 or above, so that
// placing them on the child's 0, 1 and 2 can never clobber one another even
// when the caller runs with some standard descriptor closed.
Result<Pipe> make_pipe();

// The descriptors the child gets as standard input, output and error; -1
// leaves the caller's own in place.
struct ChildStdio {
  int in = -1;
  int out = -1;
  int err = -1;
};

// Starts `program` (looked up through PATH unless it contains a '/') with
// argv = program followed by `args`, the caller's environment, an empty
// signal mask and default SIGPIPE/SIGXFSZ handling.  The error is the
// operating system's text.
Result<pid_t> spawn_program(const std::string& program, const std::vector<std::string>& args,
                            const ChildStdio& stdio);

// Waits for `pid` to end (retrying on EINTR) and decodes its status.
Result<ExitStatus> wait_for_exit(pid_t pid);

}  // namespace halvorn
