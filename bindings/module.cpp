// The module object: created once per process and owned by the first
// interpreter that imports it.
//
// Single-phase initialisation with m_size = 0 makes CPython call the init
// function on every import instead of copying a saved namespace, so the
// function can hand the owning interpreter its one module object again (a
// reload, or an import after removal from sys.modules) and refuse every
// other interpreter.
#include <Python.h>

#include <cstdint>

#include "bindings/errors.hpp"
#include "bindings/functions.hpp"
#include "bindings/hardware_profile_type.hpp"
#include "bindings/help_texts.hpp"
#include "bindings/optimization_result_type.hpp"
#include "bindings/process_state.hpp"
#include "bindings/py_ref.hpp"

namespace halvorn::bindings {
namespace {

constexpr const char kModuleName[] = "_halvorn";

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    help::kModule,
    0,  // no per-module state: see the note at the top of this file
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// After the runtime is finalized the cached objects are gone with it; a
// later runtime in the same process must not be handed them.
void forget_finalized_owner() { process_state().owner_finalized = true; }

// Binds `name` in the module and appends it to `__all__` at once.
bool add_public(PyObject* module, const char* name, PyObject* value) {
  PyObject* namespace_dict = PyModule_GetDict(module);  // borrowed
  PyObject* all = PyDict_GetItemString(namespace_dict, "__all__");  // borrowed
  if (all == nullptr) {
    PyOwned fresh = PyOwned::steal(PyList_New(0));
    if (!fresh || PyDict_SetItemString(namespace_dict, "__all__", fresh.get()) < 0) {
      return false;
    }
    all = fresh.get();  // the dict keeps it alive
  }
  PyOwned text = PyOwned::steal(PyUnicode_FromString(name));
  return text && PyDict_SetItemString(namespace_dict, name, value) == 0 &&
         PyList_Append(all, text.get()) == 0;
}

PyOwned build_module() {
  PyOwned module = PyOwned::steal(PyModule_Create(&module_definition));
  if (!module) return {};
  PyTypeObject* profile_type = hardware_profile_type();
  if (profile_type == nullptr ||
      !add_public(module.get(), "HardwareProfile", reinterpret_cast<PyObject*>(profile_type))) {
    return {};
  }
  PyTypeObject* result_type = optimization_result_type();
  if (result_type == nullptr ||
      !add_public(module.get(), "OptimizationResult", reinterpret_cast<PyObject*>(result_type))) {
    return {};
  }
  PyOwned module_name = PyOwned::steal(PyUnicode_FromString(kModuleName));
  if (!module_name) return {};
  for (PyMethodDef& definition : module_functions()) {
    PyOwned function = PyOwned::steal(
        PyCFunction_NewEx(&definition, module.get(), module_name.get()));
    if (!function || !add_public(module.get(), definition.ml_name, function.get())) return {};
  }
  return module;
}

PyObject* initialise() {
  ProcessState& state = process_state();
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1 && PyErr_Occurred()) return nullptr;

  if (state.owner_finalized) {
    PyErr_SetString(PyExc_ImportError,
                    "_halvorn cannot be initialised again in this process after the "
                    "interpreter that owned it was finalized");
    return nullptr;
  }
  if (state.module != nullptr) {
    if (interpreter != state.owner_interpreter) {
      PyErr_SetString(PyExc_ImportError,
                      "sub-interpreters are not supported: _halvorn belongs to the "
                      "interpreter that imported it first");
      return nullptr;
    }
    return PyOwned::incref(state.module).release();
  }

  PyOwned module = build_module();
  if (!module) return nullptr;
  if (Py_AtExit(forget_finalized_owner) != 0) {
    // Without the notice a later runtime could be handed dead objects.
    PyErr_SetString(PyExc_ImportError, "_halvorn could not register its finalization hook");
    return nullptr;
  }
  state.owner_interpreter = interpreter;
  state.module = PyOwned::incref(module.get()).release();  // kept for the process
  return module.release();
}

}  // namespace
}  // namespace halvorn::bindings

PyMODINIT_FUNC PyInit__halvorn(void) {
  return halvorn::bindings::guard([] { return halvorn::bindings::initialise(); });
}
