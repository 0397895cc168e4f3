#include "hardware/small_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/text.hpp"

namespace halvorn {

std::optional<std::string> read_small_file(const std::filesystem::path& path,
                                           std::size_t max_bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  char buffer[16 * 1024];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (n == 0) break;
    if (static_cast<std::size_t>(n) > max_bytes - bytes.size()) {
      ok = false;
      break;
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return bytes;
}

std::optional<std::string> read_text_file(const std::filesystem::path& path,
                                          std::size_t max_bytes) {
  auto bytes = read_small_file(path, max_bytes);
  if (!bytes || !is_valid_utf8(*bytes)) return std::nullopt;
  return bytes;
}

}  // namespace halvorn
