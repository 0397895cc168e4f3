#include "model-ir/gguf/byte_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace halvorn {
namespace {

std::unexpected<Error> short_read() { return fail(std::string(kShortReadText)); }

// Strings whose end is not known in advance grow by this much at a time, so a
// lying length costs no more memory than the bytes really there.
constexpr std::size_t kStringChunk = 64 * 1024;

}  // namespace

ByteSource ByteSource::over_memory(std::string_view bytes) noexcept {
  ByteSource source;
  source.size_ = bytes.size();
  source.window_ = bytes.data();
  source.window_len_ = bytes.size();
  return source;
}

Result<ByteSource> ByteSource::open_file(const std::string& path, std::size_t buffer_size) {
  // A path with a NUL inside would silently name a different file.
  if (path.find('\0') != std::string::npos) return fail(os_error(EINVAL));
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int saved = errno;
    return fail(os_error(saved));
  }
  return adopt_fd(fd, buffer_size);
}

Result<ByteSource> ByteSource::adopt_fd(int fd, std::size_t buffer_size) {
  ByteSource source;
  source.fd_ = fd;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int saved = errno;
    return fail(os_error(saved));  // the destructor closes fd
  }
  // Only a regular file has a size to trust; pipes and devices end when
  // they end.
  if (S_ISREG(info.st_mode)) source.size_ = static_cast<std::uint64_t>(info.st_size);
  source.buffer_size_ = std::max<std::size_t>(buffer_size, 1);
  source.buffer_ = std::make_unique_for_overwrite<char[]>(source.buffer_size_);
  return source;
}

ByteSource::ByteSource(ByteSource&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      size_(other.size_),
      pos_(other.pos_),
      window_(std::exchange(other.window_, nullptr)),
      window_start_(other.window_start_),
      window_len_(std::exchange(other.window_len_, 0)),
      buffer_(std::move(other.buffer_)),
      buffer_size_(other.buffer_size_) {}

ByteSource& ByteSource::operator=(ByteSource&& other) noexcept {
  if (this != &other) {
    close_fd();
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
    pos_ = other.pos_;
    window_ = std::exchange(other.window_, nullptr);
    window_start_ = other.window_start_;
    window_len_ = std::exchange(other.window_len_, 0);
    buffer_ = std::move(other.buffer_);
    buffer_size_ = other.buffer_size_;
  }
  return *this;
}

ByteSource::~ByteSource() { close_fd(); }

void ByteSource::close_fd() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::optional<std::uint64_t> ByteSource::remaining() const noexcept {
  if (!size_) return std::nullopt;
  return pos_ >= *size_ ? 0 : *size_ - pos_;
}

Result<std::size_t> ByteSource::pread_some(char* out, std::size_t min, std::size_t max,
                                           std::uint64_t offset) {
  std::size_t got = 0;
  while (got < min) {
    const ssize_t r = ::pread(fd_, out + got, max - got, static_cast<off_t>(offset + got));
    if (r < 0) {
      const int saved = errno;
      if (saved == EINTR) continue;
      return fail(os_error(saved));
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got;
}

Status ByteSource::read_slow(char* out, std::size_t n) {
  if (n == 0) return {};
  // Take what the window still holds, then go to the descriptor for the rest.
  const std::size_t have = buffered();
  if (have > 0) std::memcpy(out, window_ + (pos_ - window_start_), have);
  if (fd_ < 0) return short_read();

  const std::uint64_t at = pos_ + have;
  const std::size_t need = n - have;
  if ((size_ && at >= *size_) || at > kMaxOffset) return short_read();

  if (need >= buffer_size_) {
    // Too big to stage: read straight into the caller's memory.
    auto got = pread_some(out + have, need, need, at);
    if (!got) return std::unexpected(std::move(got).error());
    if (*got < need) return short_read();
  } else {
    auto got = pread_some(buffer_.get(), need, buffer_size_, at);
    if (!got) return std::unexpected(std::move(got).error());
    window_ = buffer_.get();
    window_start_ = at;
    window_len_ = *got;
    if (*got < need) return short_read();
    std::memcpy(out + have, window_, need);
  }
  pos_ = at + need;
  return {};
}

Result<std::string> ByteSource::read_string(std::uint64_t n) {
  std::string text;
  if (auto left = remaining()) {
    if (n > *left) return short_read();
    text.resize(static_cast<std::size_t>(n));
    if (auto ok = read(text.data(), text.size()); !ok) return std::unexpected(std::move(ok).error());
    return text;
  }
  while (n > 0) {
    const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(n, kStringChunk));
    const std::size_t old = text.size();
    text.resize(old + chunk);
    if (auto ok = read(text.data() + old, chunk); !ok) return std::unexpected(std::move(ok).error());
    n -= chunk;
  }
  return text;
}

}  // namespace halvorn
