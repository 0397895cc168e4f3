// What the module keeps for the life of the process.
//
// The module object and the internal-fault class are created once per
// process and belong to the first interpreter that imports the module, so
// they cannot live in per-module state: a reload or a second import must
// find the very same objects.  This is the only mutable state the bindings
// hold, and it is touched only with the interpreter lock held.
#pragma once

#include <Python.h>

#include <cstdint>

namespace halvorn::bindings {

struct ProcessState {
  PyObject* module = nullptr;          // strong reference, never released
  std::int64_t owner_interpreter = -1;  // ID of the interpreter owning `module`
  bool owner_finalized = false;         // the runtime was finalized after init
  PyObject* internal_fault = nullptr;  // strong reference, never released
};

ProcessState& process_state() noexcept;

}  // namespace halvorn::bindings
