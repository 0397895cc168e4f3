// Blocks SIGPIPE for the calling thread only, so that writing into a pipe
// whose reader has gone yields EPIPE instead of killing the process.  The
// process-wide disposition is never touched: other threads, and the host
// interpreter, keep theirs.
#pragma once

#include <signal.h>

namespace halvorn {

class SigpipeBlock {
 public:
  SigpipeBlock() noexcept;
  ~SigpipeBlock();
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  // Call after a write failed with EPIPE: takes the SIGPIPE that write
  // raised off the pending set, unless one was already pending before we
  // blocked it (that one belongs to someone else and must still arrive).
  void consume_own_signal() noexcept;

 private:
  sigset_t previous_mask_{};
  bool already_pending_ = false;
  bool blocked_ = false;
};

}  // namespace halvorn
