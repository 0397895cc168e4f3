// The module's six functions, in the order the module adds them.
#pragma once

#include <Python.h>

#include <span>

namespace halvorn::bindings {

std::span<PyMethodDef> module_functions() noexcept;

}  // namespace halvorn::bindings
