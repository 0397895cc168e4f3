// Conversions of Python arguments into C++ values, one per parameter kind.
// Each takes a borrowed, non-null object and returns false with a Python
// exception set when the object is not acceptable; `out` is then unchanged.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "bindings/py_ref.hpp"
#include "bindings/py_optimization_result.hpp"

namespace halvorn::bindings {

// A `str` (or subclass) as UTF-8.  Lone surrogates raise the encoder's own
// UnicodeEncodeError.
bool convert_text(PyObject* value, std::string& out);
// None is absent; anything else as convert_text.
bool convert_optional_text(PyObject* value, std::optional<std::string>& out);
// None is absent; anything else through Python's float protocol.
bool convert_optional_number(PyObject* value, std::optional<double>& out);
// A Python bool, or a NumPy boolean scalar through its truth value.
bool convert_flag(PyObject* value, bool& out);
// An instance of this module's OptimizationResult.  `out` points into the
// object and stays valid while the caller holds the object.
bool convert_result_object(PyObject* value, const PyOptimizationResult*& out);

// The qualified name of the object's type, or "<failed to extract type
// name>" when it cannot be read.  Never fails except for lack of memory.
PyOwned qualified_type_name(PyObject* value);

}  // namespace halvorn::bindings
