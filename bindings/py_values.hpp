// Conversions of C++ values into new Python objects.  Each returns a new
// reference, or an empty PyOwned with an exception set.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bindings/py_ref.hpp"

namespace halvorn::bindings {

// Text is expected to be UTF-8; any invalid byte sequence is replaced by
// U+FFFD rather than failing, since the text may come from a file or a tool.
PyOwned py_text(std::string_view text);
PyOwned py_unsigned(std::uint64_t value);
PyOwned py_float(double value);
PyOwned py_none();

// None for an absent value.
PyOwned py_optional_text(const std::optional<std::string>& value);
template <class Unsigned>
PyOwned py_optional_unsigned(const std::optional<Unsigned>& value) {
  return value ? py_unsigned(*value) : py_none();
}
PyOwned py_optional_float(const std::optional<double>& value);

}  // namespace halvorn::bindings
