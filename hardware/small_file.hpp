// Reading the small system files detection looks at (/proc, control-group
// files), with a ceiling so a strange file cannot make us allocate without
// bound.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace halvorn {

inline constexpr std::size_t kMaxSystemFileBytes = std::size_t{16} << 20;

// The whole file, or nothing when it cannot be opened or read, or is longer
// than `max_bytes`.  Works for /proc files, whose size is reported as 0.
std::optional<std::string> read_small_file(const std::filesystem::path& path,
                                           std::size_t max_bytes = kMaxSystemFileBytes);

// As read_small_file, but also nothing when the bytes are not valid UTF-8
// (the file cannot be read as text).
std::optional<std::string> read_text_file(const std::filesystem::path& path,
                                          std::size_t max_bytes = kMaxSystemFileBytes);

}  // namespace halvorn
