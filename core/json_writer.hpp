// A streaming JSON writer with the two layouts the system uses: compact (no
// white space at all) and pretty (two-space indentation).  Writing cannot
// fail; the caller is trusted to nest begin/end calls properly and to give
// every object member a key.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halvorn {

enum class JsonLayout { Compact, Pretty };

class JsonWriter {
 public:
  explicit JsonWriter(JsonLayout layout = JsonLayout::Compact);

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  // The name of the next object member; its value follows with one of the
  // value calls (or a begin_object / begin_array).
  void key(std::string_view name);

  void string(std::string_view value);
  void u64(std::uint64_t value);
  void i64(std::int64_t value);
  // Shortest round-trip digits; NaN and infinities become null.
  void f64(double value);
  void boolean(bool value);
  void null();

  const std::string& text() const& noexcept { return out_; }
  std::string take() && noexcept { return std::move(out_); }

 private:
  struct Level {
    bool empty = true;
  };

  // Separator and indentation before a value or a key at the current level.
  void begin_item();
  void newline_and_indent(std::size_t depth);
  void open(char bracket);
  void close(char bracket);

  JsonLayout layout_;
  std::string out_;
  std::vector<Level> levels_;
  bool after_key_ = false;
};

// Appends `text` as a quoted JSON string: quote and backslash escaped, the
// five named control characters as \b \t \n \f \r, other characters below
// U+0020 as \u00xx, everything else (U+007F and non-ASCII included) as its
// UTF-8 bytes.  Bytes that are not valid UTF-8 are replaced by U+FFFD so
// that the output is always valid JSON text.
void append_json_string(std::string& out, std::string_view text);

// The shortest decimal text that reads back to `value`, laid out as the
// JSON writer writes numbers: "12.0", "42.5", "0.000125", "1e-7",
// "1.2345678901234568e20", "-0.0".  Non-finite values give "NaN", "inf" or
// "-inf" (the writer itself writes those as null).
std::string format_shortest(double value);

}  // namespace halvorn
