// Looking a program up the way a shell would, so that what we report as
// "not found" is exactly what cannot be started by name.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "core/text.hpp"
#include "runtime/process/process.hpp"

namespace halvorn {
namespace {

// A regular file (after following links) that we may execute.
bool is_executable_file(const std::string& candidate) {
  struct stat info {};
  if (::stat(candidate.c_str(), &info) != 0) return false;
  if (!S_ISREG(info.st_mode)) return false;
  return ::access(candidate.c_str(), X_OK) == 0;
}

std::optional<std::string> current_directory() {
  std::error_code ec;
  auto cwd = std::filesystem::current_path(ec);
  if (ec) return std::nullopt;
  return cwd.string();
}

std::string join(std::string_view dir, std::string_view name) {
  if (dir.empty() || dir.back() == '/') return cat(dir, name);
  return cat(dir, '/', name);
}

// The directory an entry of PATH stands for.
std::string entry_directory(std::string_view entry) {
  if (entry.empty()) return current_directory().value_or(".");
  const bool tilde_first = entry == "~" || entry.starts_with("~/");
  if (tilde_first) {
    if (auto home = home_directory()) return cat(*home, entry.substr(1));
  }
  return std::string(entry);
}

}  // namespace

std::optional<std::string> home_directory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::size_t size = hint > 0 ? static_cast<std::size_t>(hint) : 1024;
  constexpr std::size_t kMaxBuffer = std::size_t{1} << 20;
  while (size <= kMaxBuffer) {
    std::vector<char> buffer(size);
    passwd entry{};
    passwd* found = nullptr;
    const int rc = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE) {
      size *= 2;
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr || *found->pw_dir == '\0') {
      return std::nullopt;
    }
    return std::string(found->pw_dir);
  }
  return std::nullopt;
}


std::optional<std::string> find_in_path(std::string_view name) {
  // A NUL would cut the name short at the system call.
  if (name.find('\0') != std::string_view::npos) return std::nullopt;

  if (name.find('/') != std::string_view::npos) {
    std::optional<std::string> candidate;
    if (name.front() == '/') {
      candidate = std::string(name);
    } else if (auto cwd = current_directory()) {
      candidate = join(*cwd, name);
    }
    if (candidate) {
      if (is_executable_file(*candidate)) return candidate;
      return std::nullopt;
    }
    // Without a working directory the name is searched like a plain one.
  }

  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
  for (std::string_view entry : split(path, ':')) {
    std::string candidate = join(entry_directory(entry), name);
    if (is_executable_file(candidate)) return candidate;
  }
  return std::nullopt;
}

}  // namespace halvorn
