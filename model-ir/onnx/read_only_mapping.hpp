// A whole file mapped read-only into memory.  Nothing is copied: pages are
// read from disk only when touched, so a reader that skips large parts of
// a file never brings them in.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/error.hpp"

namespace halvorn {

class ReadOnlyMapping {
 public:
  // Maps the regular file at `path`.  An empty file gives an empty mapping
  // (there is nothing to map).  The error is the operating system's text.
  static Result<ReadOnlyMapping> open(const std::string& path);

  ReadOnlyMapping(ReadOnlyMapping&& other) noexcept;
  ReadOnlyMapping& operator=(ReadOnlyMapping&& other) noexcept;
  ReadOnlyMapping(const ReadOnlyMapping&) = delete;
  ReadOnlyMapping& operator=(const ReadOnlyMapping&) = delete;
  ~ReadOnlyMapping();

  std::string_view bytes() const noexcept {
    return {static_cast<const char*>(address_), size_};
  }

 private:
  ReadOnlyMapping(void* address, std::size_t size) noexcept : address_(address), size_(size) {}
  void release() noexcept;

  void* address_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace halvorn
