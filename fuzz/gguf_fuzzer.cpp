// Feeds arbitrary bytes to the GGUF reader, twice: from memory and from a
// memory-backed file through a buffer of 1 to 67 bytes, so that values
// straddle refills.  Beyond the sanitizers' checks, the two readings must
// agree to the last character of the summary or the error text.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/text.hpp"
#include "model-ir/gguf/byte_source.hpp"
#include "model-ir/gguf/gguf_reader.hpp"

namespace {

using halvorn::GgufSummary;
using halvorn::Result;

std::string field(const std::optional<std::uint64_t>& v) {
  return v ? halvorn::to_decimal(*v) : std::string("-");
}

std::string describe(const Result<GgufSummary>& r) {
  if (!r) return "error: " + r.error().text();
  return halvorn::cat(r->architecture.value_or("-"), r->architecture ? "+" : "", " ",
                      field(r->parameter_count), " ", field(r->block_count), " ",
                      field(r->context_length), " ", field(r->embedding_length), " ",
                      field(r->head_count), " ", field(r->head_count_kv), " ",
                      field(r->feed_forward_length), " ", field(r->vocab_size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string from_memory = describe(halvorn::read_gguf_bytes(bytes));

  const int fd = ::memfd_create("gguf-fuzz", MFD_CLOEXEC);
  if (fd < 0) return 0;
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = ::write(fd, data + written, size - written);
    if (n <= 0) {
      ::close(fd);
      return 0;
    }
    written += static_cast<std::size_t>(n);
  }
  auto source = halvorn::ByteSource::adopt_fd(fd, 1 + size % 67);
  if (!source) return 0;
  const std::string from_file = describe(halvorn::read_gguf_from(*source));
  if (from_file != from_memory) std::abort();
  return 0;
}
