#include "model-ir/onnx/read_only_mapping.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace halvorn {
namespace {

// Closes the descriptor on every path out of open(); a mapping outlives it.
class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

}  // namespace

Result<ReadOnlyMapping> ReadOnlyMapping::open(const std::string& path) {
  // A path with a NUL inside would silently name a different file.
  if (path.find('\0') != std::string::npos) return fail(os_error(EINVAL));
  // O_NONBLOCK: opening a FIFO must not wait for a writer.  It changes
  // nothing for the regular files that are mapped.
  const Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) {
    const int err = errno;
    return fail(os_error(err));
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    const int err = errno;
    return fail(os_error(err));
  }
  // Reading a directory fails with EISDIR; say the same.  Devices, FIFOs and
  // sockets cannot be mapped and may never end, so they are refused.
  if (S_ISDIR(st.st_mode)) return fail(os_error(EISDIR));
  if (!S_ISREG(st.st_mode)) return fail(Error("not a regular file"));
  if (st.st_size <= 0) return ReadOnlyMapping(nullptr, 0);  // mmap refuses 0 bytes
  if (static_cast<std::uintmax_t>(st.st_size) > SIZE_MAX) return fail(os_error(EFBIG));

  const auto size = static_cast<std::size_t>(st.st_size);
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
  if (address == MAP_FAILED) {
    const int err = errno;
    return fail(os_error(err));
  }
  // The decoder jumps over tensor data; readahead would pull those pages in
  // anyway.  Only advice: a refusal changes nothing but speed.
  (void)::madvise(address, size, MADV_RANDOM);
  return ReadOnlyMapping(address, size);
}

ReadOnlyMapping::ReadOnlyMapping(ReadOnlyMapping&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)), size_(std::exchange(other.size_, 0)) {}

ReadOnlyMapping& ReadOnlyMapping::operator=(ReadOnlyMapping&& other) noexcept {
  if (this != &other) {
    release();
    address_ = std::exchange(other.address_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

ReadOnlyMapping::~ReadOnlyMapping() { release(); }

void ReadOnlyMapping::release() noexcept {
  if (address_ != nullptr) ::munmap(address_, size_);
  address_ = nullptr;
  size_ = 0;
}

}  // namespace halvorn
