// The Python class HardwareProfile: a read-only view of one HardwareProfile
// record, made only by the module's functions.
#pragma once

#include <Python.h>

#include "bindings/py_ref.hpp"
#include "core/records.hpp"

namespace halvorn::bindings {

// The class, ready for use; null with an exception set when readying fails.
PyTypeObject* hardware_profile_type();

// A new instance holding `profile`; empty with an exception set on failure.
PyOwned new_hardware_profile(HardwareProfile profile);

// Runs the hardware detection and wraps its answer.
PyOwned detect_hardware_profile();

}  // namespace halvorn::bindings
