#include "bindings/errors.hpp"

#include <cstring>

#include "bindings/process_state.hpp"
#include "bindings/py_values.hpp"

namespace halvorn::bindings {
namespace {

constexpr const char kPanicText[] = "native code panicked";

constexpr const char kInternalFaultDoc[] =
    "Raised when the module's native code panics (an internal invariant was\n"
    "violated).\n"
    "\n"
    "Like `SystemExit`, it derives from `BaseException` rather than\n"
    "`Exception`, so ordinary `except Exception` handlers do not catch it and\n"
    "it typically propagates all the way up and ends the interpreter.";

}  // namespace

PyObject* raise_error(const Error& error) {
  PyOwned message = py_text(error.text());
  if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
  return nullptr;
}

PyObject* internal_fault_class() noexcept {
  ProcessState& state = process_state();
  if (state.internal_fault == nullptr) {
    state.internal_fault = PyErr_NewExceptionWithDoc(
        "_halvorn.InternalFault", kInternalFaultDoc, PyExc_BaseException, nullptr);
  }
  return state.internal_fault;
}

PyObject* raise_internal_fault(const char* what) noexcept {
  PyObject* cls = internal_fault_class();
  if (cls == nullptr) return nullptr;  // the creation failure stays raised
  const char* text = (what != nullptr && what[0] != '\0') ? what : kPanicText;
  // The text of an exception is not trusted to be UTF-8.
  PyOwned message = PyOwned::steal(PyUnicode_DecodeUTF8(
      text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
  if (message) PyErr_SetObject(cls, message.get());
  return nullptr;
}

}  // namespace halvorn::bindings
