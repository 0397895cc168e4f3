// Where progress, warnings and notices go: one complete line per call.
// Production writes each line whole to file descriptor 2 (not through
// stdio, so nothing is buffered or interleaved mid-line); tests capture.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace halvorn {

class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // `line` is the text without its line feed; the sink ends it.
  virtual void write_line(std::string_view line) = 0;
};

// Writes each line with its "\n" to standard error in as few write(2)
// calls as the kernel allows.  A failing stream is ignored: progress is
// never worth failing the work for.
class StderrProgress final : public ProgressSink {
 public:
  void write_line(std::string_view line) override;
};

// Keeps the lines, without their line feeds, in the order written.
class CapturedProgress final : public ProgressSink {
 public:
  void write_line(std::string_view line) override;
  const std::vector<std::string>& lines() const noexcept { return lines_; }

 private:
  std::vector<std::string> lines_;
};

}  // namespace halvorn
