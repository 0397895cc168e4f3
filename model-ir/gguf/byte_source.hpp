// A forward-only byte reader over memory or a file descriptor, with its own
// buffer, so that passing over values costs pointer arithmetic rather than a
// system call each.  The read position is logical: a skip only moves it, and
// the next read that leaves the buffered window issues one pread there.
#pragma once

#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.hpp"

namespace halvorn {

class ByteSource {
 public:
  // Measured on the 7.6 MiB key/value section of a 128k-token vocabulary:
  // 8 KiB takes about 1.25 ms, 32 KiB to 1 MiB about 0.95 ms; 64 KiB is the
  // smallest size on that plateau and stays within the L2 cache.
  static constexpr std::size_t kDefaultBufferSize = 64 * 1024;
  // The largest offset a file position can take (that of lseek's off_t);
  // skips beyond it fail as lseek would.
  static constexpr std::uint64_t kMaxOffset = 0x7fff'ffff'ffff'ffffULL;

  // Reads `bytes`, which must outlive the source.
  static ByteSource over_memory(std::string_view bytes) noexcept;
  // Opens `path` read-only.  The error is the operating system's text alone;
  // callers add what they were opening.
  static Result<ByteSource> open_file(const std::string& path,
                                      std::size_t buffer_size = kDefaultBufferSize);
  // Takes ownership of an open descriptor (closed even on failure).
  static Result<ByteSource> adopt_fd(int fd, std::size_t buffer_size = kDefaultBufferSize);

  ByteSource(ByteSource&& other) noexcept;
  ByteSource& operator=(ByteSource&& other) noexcept;
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;
  ~ByteSource();

  // Exactly `n` bytes into `out`.  Ending early fails with "failed to fill
  // whole buffer"; other failures carry the operating system's text.
  Status read(void* out, std::size_t n) {
    if (n != 0 && n <= buffered()) {
      std::memcpy(out, window_ + (pos_ - window_start_), n);
      pos_ += n;
      return {};
    }
    return read_slow(static_cast<char*>(out), n);
  }

  // A little-endian unsigned integer of the given width.
  template <class T>
  Result<T> read_le() {
    T value = 0;
    if (auto ok = read(&value, sizeof value); !ok) return std::unexpected(std::move(ok).error());
    if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
    return value;
  }

  // Exactly `n` bytes as a new string.  When the end of the data is known, a
  // length beyond it fails as a short read before anything is allocated;
  // otherwise the string grows only as bytes actually arrive.
  Result<std::string> read_string(std::uint64_t n);

  // Moves the position forward by `n` bytes without reading.  Moving past the
  // end of the data is allowed (the next read then fails short); moving past
  // kMaxOffset fails with the text of EINVAL and leaves the position alone.
  Status skip(std::uint64_t n) {
    if (n > kMaxOffset - pos_) return std::unexpected(os_error(EINVAL));
    pos_ += n;
    return {};
  }

  // The bytes already buffered from the position on (possibly none): tight
  // loops may parse them in place, then consume() what they used.
  std::string_view buffered_view() const noexcept {
    const std::size_t n = buffered();
    if (n == 0) return {};
    return {window_ + (pos_ - window_start_), n};
  }
  // Moves past `n` bytes of those buffered_view() showed.
  void consume(std::size_t n) noexcept { pos_ += n; }

  std::uint64_t position() const noexcept { return pos_; }
  // Bytes between the position and the end, when the end is known (memory
  // and regular files); 0 once the position is past the end.
  std::optional<std::uint64_t> remaining() const noexcept;

 private:
  ByteSource() = default;

  // Bytes available in the window at the current position.
  std::size_t buffered() const noexcept {
    if (pos_ < window_start_ || pos_ - window_start_ >= window_len_) return 0;
    return static_cast<std::size_t>(window_len_ - (pos_ - window_start_));
  }
  Status read_slow(char* out, std::size_t n);
  // preads at `offset` into `out` until at least `min` bytes have arrived or
  // the data ends, taking up to `max`; the count read.
  Result<std::size_t> pread_some(char* out, std::size_t min, std::size_t max,
                                 std::uint64_t offset);
  void close_fd() noexcept;

  int fd_ = -1;
  std::optional<std::uint64_t> size_;     // end of data, when known
  std::uint64_t pos_ = 0;                 // logical read position
  const char* window_ = nullptr;          // bytes buffered ...
  std::uint64_t window_start_ = 0;        // ... starting at this offset
  std::size_t window_len_ = 0;
  std::unique_ptr<char[]> buffer_;
  std::size_t buffer_size_ = 0;
};

}  // namespace halvorn
