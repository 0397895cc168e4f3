#include "runtime/process/child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

extern char** environ;

namespace halvorn {
namespace {

// Moves `fd` to a number of at least 3, keeping it close-on-exec.
Result<UniqueFd> above_standard(UniqueFd fd) {
  if (fd.get() >= 3) return fd;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return fail(os_error(errno));
  return UniqueFd(moved);
}

class FileActions {
 public:
  FileActions() { rc_ = ::posix_spawn_file_actions_init(&actions_); }
  ~FileActions() {
    if (rc_ == 0) ::posix_spawn_file_actions_destroy(&actions_);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  int init_error() const noexcept { return rc_; }
  int place(int fd, int target) noexcept {
    if (fd < 0) return 0;
    return ::posix_spawn_file_actions_adddup2(&actions_, fd, target);
  }
  const posix_spawn_file_actions_t* get() const noexcept { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  int rc_ = 0;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { rc_ = ::posix_spawnattr_init(&attr_); }
  ~SpawnAttributes() {
    if (rc_ == 0) ::posix_spawnattr_destroy(&attr_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  // The child starts with nothing blocked, and with the default action for
  // the signals an interpreter commonly ignores (SIGPIPE, SIGXFSZ), as a
  // program started from a shell would.
  int configure() noexcept {
    if (rc_ != 0) return rc_;
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    if (const int rc = ::posix_spawnattr_setsigmask(&attr_, &none); rc != 0) return rc;
    if (const int rc = ::posix_spawnattr_setsigdefault(&attr_, &defaults); rc != 0) return rc;
    return ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  const posix_spawnattr_t* get() const noexcept { return &attr_; }

 private:
  posix_spawnattr_t attr_{};
  int rc_ = 0;
};

}  // namespace

Result<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(os_error(errno));
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);
  auto read_moved = above_standard(std::move(read_end));
  if (!read_moved) return fail(std::move(read_moved.error()));
  auto write_moved = above_standard(std::move(write_end));
  if (!write_moved) return fail(std::move(write_moved.error()));
  return Pipe{std::move(*read_moved), std::move(*write_moved)};
}

Result<pid_t> spawn_program(const std::string& program, const std::vector<std::string>& args,
                            const ChildStdio& stdio) {
  // A NUL inside a word would silently cut it short in the child's argv.
  const auto has_nul = [](const std::string& word) { return word.find('\0') != std::string::npos; };
  if (has_nul(program)) return fail(os_error(EINVAL));
  for (const std::string& arg : args) {
    if (has_nul(arg)) return fail(os_error(EINVAL));
  }

  FileActions actions;
  if (actions.init_error() != 0) return fail(os_error(actions.init_error()));
  const std::pair<int, int> placements[] = {{stdio.in, 0}, {stdio.out, 1}, {stdio.err, 2}};
  for (const auto& [fd, target] : placements) {
    if (const int rc = actions.place(fd, target); rc != 0) return fail(os_error(rc));
  }
  SpawnAttributes attributes;
  if (const int rc = attributes.configure(); rc != 0) return fail(os_error(rc));

  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  // glibc reports a failed exec through the return value, not errno.
  const int rc = ::posix_spawnp(&pid, program.c_str(), actions.get(), attributes.get(),
                                argv.data(), environ);
  if (rc != 0) return fail(os_error(rc));
  return pid;
}

Result<ExitStatus> wait_for_exit(pid_t pid) {
  for (;;) {
    int raw = 0;
    const pid_t got = ::waitpid(pid, &raw, 0);
    if (got == pid) return decode_wait_status(raw);
    if (got < 0 && errno != EINTR) return fail(os_error(errno));
  }
}

}  // namespace halvorn
