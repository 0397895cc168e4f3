#include "runtime/process/sigpipe_block.hpp"

#include <pthread.h>

#include <cerrno>
#include <ctime>

namespace halvorn {
namespace {

sigset_t sigpipe_only() noexcept {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  return set;
}

}  // namespace

SigpipeBlock::SigpipeBlock() noexcept {
  const sigset_t set = sigpipe_only();
  blocked_ = ::pthread_sigmask(SIG_BLOCK, &set, &previous_mask_) == 0;
  sigset_t pending;
  sigemptyset(&pending);
  if (::sigpending(&pending) == 0) already_pending_ = sigismember(&pending, SIGPIPE) == 1;
}

SigpipeBlock::~SigpipeBlock() {
  if (blocked_) ::pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
}

void SigpipeBlock::consume_own_signal() noexcept {
  if (!blocked_ || already_pending_) return;
  const sigset_t set = sigpipe_only();
  const timespec no_wait{0, 0};
  while (::sigtimedwait(&set, nullptr, &no_wait) < 0 && errno == EINTR) {
  }
}

}  // namespace halvorn
