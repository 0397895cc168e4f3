#include <sys/wait.h>

#include "core/text.hpp"
#include "runtime/process/process.hpp"

namespace halvorn {

std::string ExitStatus::describe_code() const {
  if (!code) return "None";
  return cat("Some(", *code, ")");
}

ExitStatus decode_wait_status(int raw) noexcept {
  ExitStatus status;
  if (WIFEXITED(raw)) {
    status.code = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    status.signal = WTERMSIG(raw);
  }
  return status;
}

}  // namespace halvorn
