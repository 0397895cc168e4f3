#include "bindings/py_values.hpp"

namespace halvorn::bindings {

PyOwned py_text(std::string_view text) {
  return PyOwned::steal(PyUnicode_DecodeUTF8(
      text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyOwned py_unsigned(std::uint64_t value) {
  return PyOwned::steal(PyLong_FromUnsignedLongLong(value));
}

PyOwned py_float(double value) { return PyOwned::steal(PyFloat_FromDouble(value)); }

PyOwned py_none() { return PyOwned::incref(Py_None); }

PyOwned py_optional_text(const std::optional<std::string>& value) {
  return value ? py_text(*value) : py_none();
}

PyOwned py_optional_float(const std::optional<double>& value) {
  return value ? py_float(*value) : py_none();
}

}  // namespace halvorn::bindings
