// The one place where failures become Python exceptions.
//
// Every entry point CPython calls runs its body through guard(): an Error
// value becomes RuntimeError (raise_error), and a C++ exception, which can
// only mean a bug, becomes the module's internal-fault exception instead of
// unwinding into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <string_view>
#include <type_traits>

#include "core/error.hpp"

namespace halvorn::bindings {

// Raises RuntimeError whose message is the text of the whole chain.
// Returns null so that an entry point can `return raise_error(e);`.
PyObject* raise_error(const Error& error);

// Raises the internal-fault exception with `what` as its single argument,
// or a fixed text when `what` is null or empty.  Returns null.
PyObject* raise_internal_fault(const char* what) noexcept;

// The internal-fault class, created on first use; a borrowed reference, or
// null with an exception set when it could not be created.
PyObject* internal_fault_class() noexcept;

// Runs `body` (returning a PyObject* or an int status) and turns any
// escaping C++ exception into the internal-fault exception.
template <class Body>
auto guard(Body&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  constexpr R kFailed = [] {
    if constexpr (std::is_pointer_v<R>) {
      return R{nullptr};
    } else {
      return R{-1};
    }
  }();
  try {
    return body();
  } catch (const std::exception& e) {
    raise_internal_fault(e.what());
  } catch (...) {
    raise_internal_fault(nullptr);
  }
  return kFailed;
}

}  // namespace halvorn::bindings
