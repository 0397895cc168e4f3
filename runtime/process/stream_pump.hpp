// The one loop that talks to a running child: feeds its standard input and
// drains its standard output and error together with poll, so no pipe can
// fill up while we wait on another.  Internal to the process helpers.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "runtime/process/process.hpp"
#include "runtime/process/unique_fd.hpp"

namespace halvorn {

struct PumpEnds {
  UniqueFd input;   // our write end of the child's standard input, or none
  UniqueFd output;  // our read end of its standard output
  UniqueFd error;   // our read end of its standard error
};

// Runs until both output pipes reach end of file and the input is written
// whole (or the child stopped reading it).  `out` and `err` receive at most
// `max_stream_bytes` each; more fails with RunStep::Wait once the pipes are
// drained.  A write error other than EPIPE fails with RunStep::WriteInput,
// also only after draining.  A poll or read error fails at once.
std::expected<void, RunFailure> pump_streams(PumpEnds ends, std::string_view input,
                                             std::size_t max_stream_bytes, std::string& out,
                                             std::string& err);

}  // namespace halvorn
