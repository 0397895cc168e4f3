#include "optimizer/lib/progress.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace halvorn {
namespace {

// Writes all of `bytes` to `fd`, resuming after partial writes and signals,
// and waiting when the descriptor is non-blocking and full.  Gives up
// silently on any other failure.
void write_all(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    const int saved = errno;
    if (written < 0 && saved == EINTR) continue;
    if (written < 0 && (saved == EAGAIN || saved == EWOULDBLOCK)) {
      pollfd waiter{fd, POLLOUT, 0};
      if (::poll(&waiter, 1, -1) >= 0 || errno == EINTR) continue;
    }
    return;
  }
}

}  // namespace

void StderrProgress::write_line(std::string_view line) {
  std::string whole;
  whole.reserve(line.size() + 1);
  whole.append(line);
  whole.push_back('\n');
  write_all(STDERR_FILENO, whole);
}

void CapturedProgress::write_line(std::string_view line) { lines_.emplace_back(line); }

}  // namespace halvorn
