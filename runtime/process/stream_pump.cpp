#include "runtime/process/stream_pump.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "core/text.hpp"
#include "runtime/process/sigpipe_block.hpp"

namespace halvorn {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

RunFailure failure(RunStep step, int errnum) { return RunFailure{step, os_error(errnum)}; }

// One output pipe and what has been kept of it.
struct Drain {
  UniqueFd fd;
  std::string* sink;
  std::string_view name;
  bool overflowed = false;

  // Reads once; closes the pipe at end of file.  Returns an errno on failure.
  int read_once(std::size_t limit) {
    char buffer[kChunk];
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) return 0;
      return errno;
    }
    if (n == 0) {
      fd.reset();
      return 0;
    }
    const std::size_t got = static_cast<std::size_t>(n);
    const std::size_t room = limit - std::min(limit, sink->size());
    if (got > room) overflowed = true;
    sink->append(buffer, std::min(got, room));
    return 0;
  }
};

}  // namespace

std::expected<void, RunFailure> pump_streams(PumpEnds ends, std::string_view input,
                                             std::size_t max_stream_bytes, std::string& out,
                                             std::string& err) {
  Drain drains[2] = {{std::move(ends.output), &out, "standard output"},
                     {std::move(ends.error), &err, "standard error"}};
  UniqueFd feed = std::move(ends.input);
  std::optional<RunFailure> write_failure;

  // Only a writer can be hit by SIGPIPE; with nothing to write, close the
  // child's input at once so it sees end of file.
  std::optional<SigpipeBlock> sigpipe;
  if (input.empty()) {
    feed.reset();
  } else if (feed.valid()) {
    sigpipe.emplace();
    const int flags = ::fcntl(feed.get(), F_GETFL);
    if (flags < 0 || ::fcntl(feed.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
      write_failure = failure(RunStep::WriteInput, errno);
      feed.reset();
    }
  }

  while (feed.valid() || drains[0].fd.valid() || drains[1].fd.valid()) {
    pollfd fds[3];
    int count = 0;
    int feed_slot = -1;
    int drain_slot[2] = {-1, -1};
    if (feed.valid()) {
      feed_slot = count;
      fds[count++] = pollfd{feed.get(), POLLOUT, 0};
    }
    for (int i = 0; i < 2; ++i) {
      if (!drains[i].fd.valid()) continue;
      drain_slot[i] = count;
      fds[count++] = pollfd{drains[i].fd.get(), POLLIN, 0};
    }

    if (::poll(fds, static_cast<nfds_t>(count), -1) < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(failure(RunStep::Wait, errno));
    }

    if (feed_slot >= 0 && fds[feed_slot].revents != 0) {
      const std::size_t len = std::min(input.size(), kChunk);
      const ssize_t n = ::write(feed.get(), input.data(), len);
      if (n >= 0) {
        input.remove_prefix(static_cast<std::size_t>(n));
        if (input.empty()) feed.reset();
      } else if (errno == EPIPE) {
        // The child closed its input without reading it all; not our failure.
        sigpipe->consume_own_signal();
        feed.reset();
      } else if (errno != EINTR && errno != EAGAIN) {
        write_failure = failure(RunStep::WriteInput, errno);
        feed.reset();
      }
    }
    for (int i = 0; i < 2; ++i) {
      if (drain_slot[i] < 0 || fds[drain_slot[i]].revents == 0) continue;
      if (const int errnum = drains[i].read_once(max_stream_bytes); errnum != 0) {
        return std::unexpected(failure(RunStep::Wait, errnum));
      }
    }
  }

  if (write_failure) return std::unexpected(std::move(*write_failure));
  for (const Drain& drain : drains) {
    if (drain.overflowed) {
      return std::unexpected(RunFailure{
          RunStep::Wait, Error(cat(drain.name, " exceeds ", max_stream_bytes, " bytes"))});
    }
  }
  return {};
}

}  // namespace halvorn
