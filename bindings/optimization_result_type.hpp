// The Python class OptimizationResult: a read-only view of one
// PyOptimizationResult, made only by the module's functions.
#pragma once

#include <Python.h>

#include "bindings/py_optimization_result.hpp"
#include "bindings/py_ref.hpp"

namespace halvorn::bindings {

// The class, ready for use; null with an exception set when readying fails.
PyTypeObject* optimization_result_type();

// A new instance holding `result`; empty with an exception set on failure.
PyOwned new_optimization_result(PyOptimizationResult result);

// The record inside `object` when it is an instance of the class (the
// pointer lives as long as the object), else null.  Sets no exception.
const PyOptimizationResult* optimization_result_record(PyObject* object);

}  // namespace halvorn::bindings
